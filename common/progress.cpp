#include "progress.h"

#include <cstring>

namespace kv {

std::string ReadFailureLine(const std::string& path, int errorCode) {
  return "Stopped: could not read [" + path + "]: " + std::strerror(errorCode);
}

std::string WriteFailureLine(const std::string& path, int errorCode) {
  return "Stopped: could not write [" + path + "]: " + std::strerror(errorCode);
}

}  // namespace kv
