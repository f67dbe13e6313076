#include "app/cli/options.h"

namespace quendal::cli {

ParsedOptions ParseOptions(const std::vector<std::string_view>& args,
                           const std::set<std::string>& valued,
                           const std::set<std::string>& flags,
                           const std::set<std::string>& repeatable) {
  ParsedOptions parsed;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg(args[i]);
    std::string value;
    bool inlineValue = false;
    if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      inlineValue = true;
    }
    if (valued.count(arg)) {
      if (!inlineValue) {
        if (i + 1 >= args.size()) {
          parsed.error = "option " + arg + " needs a value";
          return parsed;
        }
        value = std::string(args[++i]);
      }
      if (parsed.values.count(arg) && !repeatable.count(arg)) {
        parsed.error = "option " + arg + " given twice";
        return parsed;
      }
      parsed.values[arg] = value;
      parsed.lists[arg].push_back(value);
    } else if (flags.count(arg) && !inlineValue) {
      parsed.flags.insert(arg);
    } else {
      parsed.error = "unexpected argument '" + std::string(args[i]) + "'";
      return parsed;
    }
  }
  return parsed;
}

}  // namespace quendal::cli
