#include "report.h"

#include <algorithm>
#include <cstdio>

#include "kelvaro.h"

namespace kelvaroctl {

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte > 0x7E) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string JsonObject(const std::vector<std::pair<std::string, std::string>>& members) {
  std::string out = "{";
  for (const auto& [key, value] : members) {
    if (out.size() > 1) out += ", ";
    out += JsonString(key) + ": " + value;
  }
  return out + "}";
}

std::string ResultText(int code) { return kelvaro_result_text(code); }

void Report::Add(const std::string& key, const std::string& label, const std::string& text,
                 const std::string& json) {
  items_.push_back({key, label, text, json, ""});
}

void Report::Fail(const std::string& key, const std::string& label, int code) {
  items_.push_back({key, label, "failed: " + ResultText(code), "null",
                    JsonObject({{"code", std::to_string(code)}, {"text", JsonString(ResultText(code))}})});
  failed_ = true;
}

void Report::Fail(const std::string& key, const std::string& label, const std::string& why) {
  items_.push_back({key, label, "failed: " + why, "null", JsonObject({{"text", JsonString(why)}})});
  failed_ = true;
}

void Report::Fail(const std::string& key, const std::string& label) {
  items_.push_back({key, label, "failed", "null", JsonObject({{"text", JsonString("failed")}})});
  failed_ = true;
}

void Report::Append(const Report& other) {
  items_.insert(items_.end(), other.items_.begin(), other.items_.end());
  failed_ = failed_ || other.failed_;
}

std::string Report::Table() const {
  std::size_t width = 0;
  for (const Item& item : items_) width = std::max(width, item.label.size());
  std::string out;
  for (const Item& item : items_) {
    if (!item.label.empty()) out += item.label + std::string(width + 2 - item.label.size(), ' ');
    out += item.text + "\n";
  }
  return out;
}

std::string Report::Json() const {
  std::vector<std::pair<std::string, std::string>> members;
  std::vector<std::pair<std::string, std::string>> errors;
  for (const Item& item : items_) {
    members.emplace_back(item.key, item.json);
    if (!item.error.empty()) errors.emplace_back(item.key, item.error);
  }
  members.emplace_back("errors", JsonObject(errors));
  return JsonObject(members);
}

std::string Report::Line() const {
  std::string out;
  for (const Item& item : items_) {
    if (!out.empty()) out += "  ";
    out += item.label.empty() ? item.text : item.label + " " + item.text;
  }
  return out;
}

void Report::Print(bool json) const {
  const std::string text = json ? Json() + "\n" : Table();
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace kelvaroctl
