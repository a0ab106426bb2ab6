// tessarin-cli-docs: writes the tool's completion scripts and manual pages
// from its command line, at build time (not installed).
//
//   tessarin-cli-docs bash|zsh|fish|man|window-man OUT [DATE]
#include <cstdio>
#include <fstream>
#include <string>

#include "app/app_options.h"
#include "cli/command_line_docs.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: tessarin-cli-docs bash|zsh|fish|man|window-man OUT [DATE]\n", stderr);
    return 2;
  }
  const std::string what = argv[1];
  const std::string date = argc > 3 ? argv[3] : "";
  const tessarin::CommandLineDoc doc = tessarin::DescribeCommandLine();
  std::string text;
  if (what == "bash") {
    text = tessarin::BashCompletion(doc);
  } else if (what == "zsh") {
    text = tessarin::ZshCompletion(doc);
  } else if (what == "fish") {
    text = tessarin::FishCompletion(doc);
  } else if (what == "man") {
    text = tessarin::ManPage(doc, TESSARIN_VERSION, date);
  } else if (what == "window-man") {
    text = tessarin::WindowManPage(tessarin::AppUsage("tessarin"), TESSARIN_VERSION, date);
  } else {
    std::fprintf(stderr, "tessarin-cli-docs: unknown kind \"%s\"\n", what.c_str());
    return 2;
  }
  std::ofstream out(argv[2], std::ios::binary);
  out << text;
  out.close();
  if (!out) {
    std::fprintf(stderr, "tessarin-cli-docs: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
