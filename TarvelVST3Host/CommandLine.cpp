#include "CommandLine.h"

Mode selectMode(const std::vector<std::string>& arguments) {
    if (arguments.size() >= 3 && arguments[1] == "--scan-one") return Mode::scanOne;
    if (arguments.size() >= 2 && arguments[1] == "--session") return Mode::session;
    return Mode::usage;
}
