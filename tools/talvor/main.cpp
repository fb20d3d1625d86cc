// talvor: the driver in a reader session from the command line.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "tools/talvor/commands.h"

int main(int argc, char **argv) {
  try {
    std::vector<std::string> args(argv + 1, argv + argc);
    return talvor::cli::talvor_main(args, std::cout, std::cerr);
  } catch (const std::exception &error) {
    std::cerr << "talvor: " << error.what() << std::endl;
    return 2;
  }
}
