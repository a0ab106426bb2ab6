#include <windows.h>

#include <string>

#include "platform/process.h"

namespace tessarin {
namespace {

std::wstring Widen(const std::string& text) {
  if (text.empty()) return {};
  const int n =
      ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(n > 0 ? static_cast<std::size_t>(n) : 0, L'\0');
  if (n > 0) {
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  }
  return out;
}

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
  if (n > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                          nullptr, nullptr);
  }
  return out;
}

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

HANDLE OpenInheritable(const wchar_t* path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return ::CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

int RunProgram(const std::filesystem::path& program, const std::vector<std::string>& args,
               const std::filesystem::path& stdoutFile, const std::filesystem::path& stderrFile,
               std::string* err) {
  const std::string name = Narrow(program.native());
  std::wstring line;
  AppendQuoted(program.native(), line);
  for (const std::string& arg : args) AppendQuoted(Widen(arg), line);

  HANDLE in = OpenInheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
  HANDLE out = OpenInheritable(stdoutFile.c_str(), GENERIC_WRITE, CREATE_ALWAYS);
  HANDLE error = OpenInheritable(stderrFile.c_str(), GENERIC_WRITE, CREATE_ALWAYS);
  auto close = [&] {
    for (HANDLE h : {in, out, error}) {
      if (h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
    }
  };
  if (in == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE || error == INVALID_HANDLE_VALUE) {
    if (err)
      *err = "start " + name + ": cannot open its output files: " + ErrorText(::GetLastError());
    close();
    return -1;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in;
  startup.hStdOutput = out;
  startup.hStdError = error;
  PROCESS_INFORMATION process{};
  const BOOL started = ::CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
  const DWORD startError = ::GetLastError();
  close();
  if (!started) {
    if (err) *err = "start " + name + ": " + ErrorText(startError);
    return -1;
  }
  ::CloseHandle(process.hThread);
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  const BOOL got = ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hProcess);
  if (!got) {
    if (err) *err = "wait for " + name + ": " + ErrorText(::GetLastError());
    return -1;
  }
  return static_cast<int>(code);
}

unsigned long CurrentProcessId() { return ::GetCurrentProcessId(); }

}  // namespace tessarin
