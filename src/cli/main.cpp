#include <CLI/CLI.hpp>

#include <cstdio>

int main(int argc, char** argv) {
  CLI::App app{"qvfw - firmware update tool for Qavion QV4077x bridge controllers"};
  app.set_version_flag("--version", std::string("qvfw ") + QVFW_VERSION);
  CLI11_PARSE(app, argc, argv);
  std::puts(app.help().c_str());
  return 0;
}
