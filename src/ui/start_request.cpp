#include "ui/start_request.h"

#include "common/format.h"

namespace ostrel::ui {

namespace {

bool endsWithErr(const std::string& arg) {
  return arg.size() > 4 && sameText(std::string_view(arg).substr(arg.size() - 4), ".err");
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
    } else if (endsWithErr(arg)) {
      request.log = arg;
    }
  }
  return request;
}

}  // namespace ostrel::ui
