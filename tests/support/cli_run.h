// Runs of the built tessarin-cli against simulated devices whose EEPROMs are
// kept in a scratch directory between runs: the fixture of the end-to-end tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_os.h"

namespace tessarin::testing {

namespace fs = std::filesystem;

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

inline std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string WithoutCarriageReturns(std::string text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out += text[i];
  }
  return out;
}

inline std::vector<std::uint8_t> ReadBytes(const fs::path& path) {
  std::string text = ReadText(path);
  return {text.begin(), text.end()};
}

inline void WriteBytes(const fs::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class CliRun : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    m_dir = fs::temp_directory_path() / ("tessarin-cli-" + std::to_string(CurrentProcessId()) +
                                         "-" + std::to_string(counter++));
    fs::create_directories(m_dir);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(m_dir, ec);
  }

  /// Runs `script` with /bin/bash, its output into the scratch files.
  RunResult RunShell(const std::string& script) {
    RunResult result;
    std::string error;
    result.exitCode = RunProgram("/bin/bash", {"-c", script}, m_dir / "stdout.txt",
                                 m_dir / "stderr.txt", &error);
    if (result.exitCode < 0) ADD_FAILURE() << error;
    result.out = ReadText(m_dir / "stdout.txt");
    result.err = ReadText(m_dir / "stderr.txt");
    return result;
  }

  /// Runs the tool with `args`, stdout and stderr into files (never a terminal);
  /// `stdoutFile` replaces the scratch file that takes the standard output.
  RunResult Run(const std::vector<std::string>& args, const fs::path& stdoutFile = {}) {
    const fs::path outFile = stdoutFile.empty() ? m_dir / "stdout.txt" : stdoutFile;
    const fs::path errFile = m_dir / "stderr.txt";
    RunResult result;
    std::string error;
    result.exitCode = RunProgram(TESSARIN_CLI_PATH, args, outFile, errFile, &error);
    if (result.exitCode < 0) {
      ADD_FAILURE() << error;
      return result;
    }
    // Lines end with CR LF on Windows; the checks look for LF.
    // A given output (a device such as /dev/full) is not read back.
    if (stdoutFile.empty()) result.out = WithoutCarriageReturns(ReadText(outFile));
    result.err = WithoutCarriageReturns(ReadText(errFile));
    return result;
  }

  /// --simulate with the devices' EEPROMs kept in the scratch directory.
  std::string Spec(const std::string& devices = "default") const {
    return "dir=" + m_dir.string() + ";" + devices;
  }
  fs::path Eeprom(int device = 0) const {
    return m_dir / ("sim-" + std::to_string(device) + ".eeprom");
  }
  fs::path MakeImage(const std::string& name, std::vector<std::string> extra = {}) {
    fs::path file = m_dir / name;
    std::vector<std::string> args = {"make-image", file.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    RunResult made = Run(args);
    EXPECT_EQ(made.exitCode, 0) << made.err;
    return file;
  }

  fs::path m_dir;
};

}  // namespace tessarin::testing
