// Writes vek's completion scripts into the directory given: "vek" (bash), "_vek" (zsh) and
// "vek.fish" (fish). Run by the build, so the installed scripts always match the program.
#include <fstream>
#include <iostream>

#include "completion_scripts.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: generate_completions DIRECTORY\n";
    return 2;
  }
  std::string directory = argv[1];
  const std::pair<const char*, std::string> files[] = {
      {"vek", vek::completions::bashScript()},
      {"_vek", vek::completions::zshScript()},
      {"vek.fish", vek::completions::fishScript()},
  };
  for (const auto& [name, text] : files) {
    std::ofstream out(directory + "/" + name, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) {
      std::cerr << "generate_completions: cannot write " << directory << "/" << name << "\n";
      return 1;
    }
  }
  return 0;
}
