// What a command found, printed for people (aligned "label  value" lines) or as JSON.
#pragma once

#include <string>
#include <vector>

namespace kelvaroctl {

// JSON pieces, already rendered.
std::string JsonString(const std::string& text);  // bytes above 0x7F taken as Latin-1
std::string JsonObject(const std::vector<std::pair<std::string, std::string>>& members);

// The library's text for a result code: "Timeout".
std::string ResultText(int code);

class Report {
 public:
  // `key` names the item in JSON, `label` in text ("" shows the value alone).
  void Add(const std::string& key, const std::string& label, const std::string& text, const std::string& json);
  // A failed item: its value is null and "errors" holds the code and its result text.
  void Fail(const std::string& key, const std::string& label, int code);
  void Fail(const std::string& key, const std::string& label, const std::string& why);
  // A failure whose cause is not known (an axis a stream's sample did not read): "failed".
  void Fail(const std::string& key, const std::string& label);

  void Append(const Report& other);  // its items after these

  bool Failed() const { return failed_; }

  // Every item on a line of its own; or one JSON object, failures under "errors".
  std::string Table() const;
  std::string Json() const;
  // All items on one line, two spaces apart (for watch).
  std::string Line() const;

  // Table or Json to standard output.
  void Print(bool json) const;

 private:
  struct Item {
    std::string key;
    std::string label;
    std::string text;
    std::string json;   // "null" when failed
    std::string error;  // JSON of the failure, empty if none
  };
  std::vector<Item> items_;
  bool failed_ = false;
};

}  // namespace kelvaroctl
