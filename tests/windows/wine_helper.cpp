// Helper program for the Wine test rig (a test-only target of the Windows build, never shipped).
// winspool is loaded only by the modes that need it: Wine copies the CUPS queues into its
// registry when the first process loads winspool and skips that while this process
// lives, so the long-lived "keep" process must never load it.
//
//   keep [READY_FILE]    start Wine's desktop and services, create READY_FILE (a
//                        Windows path), then sleep until killed
//   printers             list the print queues Wine sees (this also makes Wine copy
//                        the CUPS queues into its registry), one UTF-8 name a line,
//                        then "default: <name>"
//   print QUEUE TITLE    print one page with a black 100x50 rectangle at (10, 20)
//                        and report the device caps, to check the queues without the host
#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

static_assert(sizeof(WCHAR) == sizeof(char16_t));

std::string to_utf8(const WCHAR* text) {
  if (text == nullptr) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return {};
  std::string out(static_cast<std::size_t>(size - 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  return out;
}

void write_out(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written,
            nullptr);
}

using EnumPrintersFn = BOOL(WINAPI*)(DWORD, LPWSTR, DWORD, LPBYTE, DWORD, LPDWORD, LPDWORD);
using GetDefaultPrinterFn = BOOL(WINAPI*)(LPWSTR, LPDWORD);

int list_printers() {
  HMODULE spooler = LoadLibraryW(L"winspool.drv");
  if (spooler == nullptr) {
    write_out("cannot load winspool.drv: " + std::to_string(GetLastError()) + "\n");
    return 2;
  }
  // Through void (*)(), the cast GCC accepts between unrelated function types.
  const auto enum_printers = reinterpret_cast<EnumPrintersFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(spooler, "EnumPrintersW")));
  const auto get_default_printer = reinterpret_cast<GetDefaultPrinterFn>(
      reinterpret_cast<void (*)()>(GetProcAddress(spooler, "GetDefaultPrinterW")));
  DWORD needed = 0;
  DWORD count = 0;
  enum_printers(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 4, nullptr, 0, &needed,
                &count);
  std::vector<BYTE> buffer(needed + 1);
  if (!enum_printers(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 4, buffer.data(),
                     needed, &needed, &count)) {
    if (needed != 0) {
      write_out("EnumPrintersW failed: " + std::to_string(GetLastError()) + "\n");
      return 2;
    }
    count = 0;
  }
  const auto* info = reinterpret_cast<const PRINTER_INFO_4W*>(buffer.data());
  for (DWORD i = 0; i < count; ++i) write_out(to_utf8(info[i].pPrinterName) + "\n");
  WCHAR name[512];
  DWORD size = 512;
  write_out("default: " + (get_default_printer(name, &size) ? to_utf8(name) : std::string()) +
            "\n");
  return 0;
}

int print_page(const WCHAR* queue, const WCHAR* title) {
  // Loading winspool copies the CUPS queues first; CreateDCW alone would not know them.
  LoadLibraryW(L"winspool.drv");
  HDC dc = CreateDCW(nullptr, queue, nullptr, nullptr);
  if (dc == nullptr) {
    write_out("CreateDCW failed: " + std::to_string(GetLastError()) + "\n");
    return 2;
  }
  write_out("LOGPIXELSX " + std::to_string(GetDeviceCaps(dc, LOGPIXELSX)) + "\n" + "HORZRES " +
            std::to_string(GetDeviceCaps(dc, HORZRES)) + "\n" + "VERTRES " +
            std::to_string(GetDeviceCaps(dc, VERTRES)) + "\n" + "PHYSICALOFFSETX " +
            std::to_string(GetDeviceCaps(dc, PHYSICALOFFSETX)) + "\n" + "PHYSICALOFFSETY " +
            std::to_string(GetDeviceCaps(dc, PHYSICALOFFSETY)) + "\n");
  DOCINFOW doc{};
  doc.cbSize = sizeof(doc);
  doc.lpszDocName = title;
  const int job = StartDocW(dc, &doc);
  int status = 0;
  if (job <= 0 || StartPage(dc) <= 0) {
    status = 3;
  } else {
    PatBlt(dc, 10, 20, 100, 50, BLACKNESS);
    if (EndPage(dc) <= 0) status = 4;
  }
  if (status == 0 && EndDoc(dc) <= 0) status = 5;
  write_out("job " + std::to_string(job) + " status " + std::to_string(status) + " error " +
            std::to_string(status == 0 ? 0 : GetLastError()) + "\n");
  if (status != 0 && job > 0) AbortDoc(dc);
  DeleteDC(dc);
  return status;
}

}  // namespace

int main() {
  int argc = 0;
  WCHAR** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  const std::string mode = argc > 1 ? to_utf8(argv[1]) : std::string();
  if (mode == "keep") {
    GetDesktopWindow();
    if (argc > 2) {
      HANDLE ready = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
      if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
    }
    Sleep(INFINITE);
    return 0;
  }
  if (mode == "printers") return list_printers();
  if (mode == "print" && argc == 4) return print_page(argv[2], argv[3]);
  write_out("usage: vantrel-wine-helper keep [READY_FILE] | printers | print QUEUE TITLE\n");
  return 64;
}
