// bridge-host-setup: makes the bridge host known to the browsers on this
// machine, takes it away again, and says what keeps it from working.
#include <algorithm>
#include <cstdlib>
#include <iostream>

#include "setup.h"

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (std::find(args.begin(), args.end(), "--help") != args.end()) {
        std::cout << USAGE;
        return EXIT_SUCCESS;
    }
    try {
        const Options options = ParseArguments(args);
        if (options.verb == "install")
            return Install(options);
        if (options.verb == "uninstall")
            return Uninstall(options);
        return Check(options);
    } catch (const UsageError& e) {
        std::cerr << COMMAND << ": " << e.what() << "\n" << "Try '" << COMMAND << " --help'.\n";
        return EXIT_USAGE;
    } catch (const std::exception& e) {
        std::cerr << COMMAND << ": " << e.what() << "\n";
        return EXIT_PROBLEMS;
    }
}
