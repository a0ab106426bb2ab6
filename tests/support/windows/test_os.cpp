#include "support/test_os.h"

#include <windows.h>

#include <string>

#include "platform/windows/owned_handle.h"
#include "platform/windows/wide_text.h"

namespace tessarin {
namespace {

// One argument quoted so that the C runtime's command-line parser gives it
// back unchanged: backslashes are literal except before a quote.
void AppendQuoted(const std::wstring& arg, std::wstring& line) {
  if (!line.empty()) line += L' ';
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"') {
      line.append(backslashes * 2 + 1, L'\\');
    } else {
      line.append(backslashes, L'\\');
    }
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

std::string ErrorText(DWORD code) { return "Windows error " + std::to_string(code); }

OwnedHandle OpenInheritable(const wchar_t* path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return OwnedHandle(::CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                   disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

int RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
               const std::filesystem::path& stdoutFile, const std::filesystem::path& stderrFile,
               std::string* err) {
  const std::string name = WideToUtf8(program.native());
  std::wstring line;
  AppendQuoted(program.native(), line);
  for (const std::string& arg : args) AppendQuoted(Utf8ToWide(arg).value_or(L"?"), line);

  PROCESS_INFORMATION process{};
  BOOL started = FALSE;
  DWORD startError = 0;
  {
    const OwnedHandle in = OpenInheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
    const OwnedHandle out = OpenInheritable(stdoutFile.c_str(), GENERIC_WRITE, CREATE_ALWAYS);
    const OwnedHandle error = OpenInheritable(stderrFile.c_str(), GENERIC_WRITE, CREATE_ALWAYS);
    if (!in.valid() || !out.valid() || !error.valid()) {
      if (err)
        *err = "start " + name + ": cannot open its output files: " + ErrorText(::GetLastError());
      return -1;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in.get();
    startup.hStdOutput = out.get();
    startup.hStdError = error.get();
    started = ::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                               CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
    startError = ::GetLastError();
  }
  if (!started) {
    if (err) *err = "start " + name + ": " + ErrorText(startError);
    return -1;
  }
  const OwnedHandle thread(process.hThread);
  const OwnedHandle child(process.hProcess);
  ::WaitForSingleObject(child.get(), INFINITE);
  DWORD code = 0;
  const BOOL got = ::GetExitCodeProcess(child.get(), &code);
  if (!got) {
    if (err) *err = "wait for " + name + ": " + ErrorText(::GetLastError());
    return -1;
  }
  return static_cast<int>(code);
}

unsigned long CurrentProcessId() { return ::GetCurrentProcessId(); }

bool IsPosixSystem() { return false; }

bool CreateFifo(const std::filesystem::path&, std::string* err) {
  if (err) *err = "this system has no FIFOs in the file system";
  return false;
}

bool SetProcessTimeZone(const std::string&) { return false; }

}  // namespace tessarin
