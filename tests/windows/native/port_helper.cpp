// The Linux side of a serial device, for Windows tests under Wine that cannot see it:
//   kelvaro-port-helper hold DEVICE FLAG     holds DEVICE exclusively (TIOCEXCL) as another
//                                            program would; writes FLAG once it does, lets
//                                            go when FLAG is deleted, then writes FLAG.done
//   kelvaro-port-helper termios DEVICE FILE  writes the device's line settings to FILE
//   kelvaro-port-helper openers DEVICE FILE  writes how many descriptors of all processes
//                                            (but this one) have DEVICE open
//   kelvaro-port-helper ports COUNT          prints COUNT different loopback TCP ports that
//                                            nothing listens on, one a line
// Files appear whole (written aside, then renamed), so a reader never sees half of one.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

bool WriteWhole(const std::string& path, const std::string& text) {
  const std::string aside = path + ".part";
  FILE* file = std::fopen(aside.c_str(), "w");
  if (file == nullptr) return false;
  const bool written = std::fputs(text.c_str(), file) >= 0;
  return std::fclose(file) == 0 && written && std::rename(aside.c_str(), path.c_str()) == 0;
}

int Hold(const char* device, const std::string& flag) {
  const int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0 || ioctl(fd, TIOCEXCL) != 0) {
    std::perror(device);
    return 1;
  }
  if (!WriteWhole(flag, "held\n")) return 1;
  // The Windows side deletes the flag when it is done; give up after a minute regardless.
  for (int i = 0; i < 6000 && access(flag.c_str(), F_OK) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // The lens's side keeps the terminal open, so the flag would outlive this descriptor.
  ioctl(fd, TIOCNXCL);
  close(fd);
  return WriteWhole(flag + ".done", "released\n") ? 0 : 1;
}

int Settings(const char* device, const std::string& out) {
  const int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios t{};
  if (fd < 0 || tcgetattr(fd, &t) != 0) {
    std::perror(device);
    return 1;
  }
  close(fd);
  const auto bit = [](tcflag_t flags, tcflag_t mask) { return (flags & mask) ? 1 : 0; };
  const int bits = (t.c_cflag & CSIZE) == CS8 ? 8 : (t.c_cflag & CSIZE) == CS7 ? 7 : 0;
  const auto baud = [](speed_t speed) {
    switch (speed) {
      case B9600: return 9600;
      case B19200: return 19200;
      case B38400: return 38400;
      case B57600: return 57600;
      case B115200: return 115200;
      default: return -static_cast<int>(speed);  // another speed_t constant
    }
  };
  char line[256];
  std::snprintf(line, sizeof line,
                "speed %d/%d bits %d parenb %d cstopb %d crtscts %d ixon %d ixoff %d icrnl %d "
                "istrip %d icanon %d echo %d isig %d opost %d\n",
                baud(cfgetispeed(&t)), baud(cfgetospeed(&t)), bits,
                bit(t.c_cflag, PARENB), bit(t.c_cflag, CSTOPB), bit(t.c_cflag, CRTSCTS),
                bit(t.c_iflag, IXON), bit(t.c_iflag, IXOFF), bit(t.c_iflag, ICRNL),
                bit(t.c_iflag, ISTRIP), bit(t.c_lflag, ICANON), bit(t.c_lflag, ECHO),
                bit(t.c_lflag, ISIG), bit(t.c_oflag, OPOST));
  return WriteWhole(out, line) ? 0 : 1;
}

int Openers(const char* device, const std::string& out) {
  struct stat target {};
  if (stat(device, &target) != 0) {
    std::perror(device);
    return 1;
  }
  const std::string self = std::to_string(getpid());
  int count = 0;
  DIR* processes = opendir("/proc");
  if (processes == nullptr) return 1;
  while (const dirent* process = readdir(processes)) {
    const std::string pid = process->d_name;
    if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
    const std::string fds = "/proc/" + pid + "/fd";
    DIR* dir = opendir(fds.c_str());
    if (dir == nullptr) continue;
    while (const dirent* fd = readdir(dir)) {
      struct stat open_file {};
      if (fd->d_name[0] != '.' && stat((fds + "/" + fd->d_name).c_str(), &open_file) == 0 &&
          S_ISCHR(open_file.st_mode) && open_file.st_rdev == target.st_rdev) {
        ++count;
      }
    }
    closedir(dir);
  }
  closedir(processes);
  return WriteWhole(out, std::to_string(count) + "\n") ? 0 : 1;
}

// All bound at once, so the system gives each a port of its own; free again when printed.
int FreePorts(int count) {
  if (count < 1 || count > 16) return 2;
  std::vector<int> sockets;
  std::string ports;
  for (int i = 0; i < count; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      std::perror("free port");
      return 1;
    }
    sockets.push_back(fd);
    ports += std::to_string(ntohs(address.sin_port)) + "\n";
  }
  for (const int fd : sockets) close(fd);
  return std::fputs(ports.c_str(), stdout) >= 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "hold") == 0) return Hold(argv[2], argv[3]);
  if (argc == 4 && std::strcmp(argv[1], "termios") == 0) return Settings(argv[2], argv[3]);
  if (argc == 4 && std::strcmp(argv[1], "openers") == 0) return Openers(argv[2], argv[3]);
  if (argc == 3 && std::strcmp(argv[1], "ports") == 0) return FreePorts(std::atoi(argv[2]));
  std::fprintf(stderr, "usage: %s hold|termios|openers DEVICE FILE | ports COUNT\n", argv[0]);
  return 2;
}
