#include <iostream>

#include "cli/quarry.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return cli::RunQuarry(args, {std::cin, std::cout, std::cerr});
}
