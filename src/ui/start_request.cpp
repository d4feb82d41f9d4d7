#include "ui/start_request.h"

#include "common/format.h"

namespace ostrel::ui {

namespace {

// A stored exception log or a minidump: both open in the call stack window.
bool endsWithErrOrDmp(const std::string& arg) {
  if (arg.size() <= 4) return false;
  const std::string_view extension = std::string_view(arg).substr(arg.size() - 4);
  return sameText(extension, ".err") || sameText(extension, ".dmp");
}

}  // namespace

StartRequest parseStartRequest(const std::vector<std::string>& args) {
  StartRequest request;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--errdir" && i + 1 < args.size()) {
      request.errorDir = args[++i];
    } else if (arg == "--run" && i + 1 < args.size()) {
      request.run = true;
      request.exe = args[++i];
      for (++i; i < args.size(); ++i)
        request.parameters += (request.parameters.empty() ? "" : " ") + quoteArgument(args[i]);
    } else if (endsWithErrOrDmp(arg)) {
      request.log = arg;
    }
  }
  return request;
}

}  // namespace ostrel::ui
