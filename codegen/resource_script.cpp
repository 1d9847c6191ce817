#include "codegen/resource_script.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "codegen/names.h"
#include "codegen/output_folder.h"

std::uint32_t WriteResourceScript(const char* folder, const char* library) {
  const std::string name = std::string(library != nullptr ? library : "");
  const std::string path =
      folder != nullptr ? JoinFolderAndName(folder, (name + ".rc").c_str()) : name + ".rc";
  std::string base, link;
  int error = 0;
  const platform::FileDescriptor held = codegen::FolderOfPath(path, &base, &link, &error);
  if (!held.valid()) return 10;
  struct stat info;
  if (::fstatat(held.get(), base.c_str(), &info, 0) == 0) return 0;
  // Exclusive creation: a script that appears meanwhile is not replaced.
  // The build reads it: neither group nor others may write to it, whatever
  // the umask.
  const int fd = ::openat(held.get(), base.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  std::FILE* file = fd >= 0 ? ::fdopen(fd, "w") : nullptr;
  if (file == nullptr) {
    if (fd >= 0) ::close(fd);
    return 10;
  }

  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const int year = local.tm_year + 1900;

  const std::string rule(77, '/');
  const char* L = name.c_str();
  auto line = [file](const std::string& text) {
    std::fputs(text.c_str(), file);
    std::fputc('\n', file);
    std::fflush(file);
  };
  auto value = [&line](const char* key, const std::string& text, const char* gap = " ") {
    line(std::string("            VALUE \"") + key + "\"," + gap + "\"" + text + "\\0\"");
  };
  line(rule);
  line("//Quillon generated resource script");
  line("//");
  line("//");
  line("#define APSTUDIO_READONLY_SYMBOLS");
  line("#include \"afxres.h\"");
  line("#undef APSTUDIO_READONLY_SYMBOLS");
  line("#if !defined(AFX_RESOURCE_DLL) || defined(AFX_TARG_ENG)");
  line("LANGUAGE LANG_ENGLISH, SUBLANG_ENGLISH_UK");
  line("#pragma code_page(1252)");
  line("");
  line(rule);
  line("//");
  line("// DO NOT EDIT ANYTHING ABOVE THIS LINE ");
  line("//");
  line("// Version");
  line("//");
  line("// You should not change the PRODUCTVERSION");
  line("//");
  line("VS_VERSION_INFO VERSIONINFO");
  line(" FILEVERSION 38,0,0,380");
  line(" PRODUCTVERSION 38,0,0,0");
  line(" FILEFLAGSMASK 0x3fL");
  line("#ifdef _DEBUG");
  line(" FILEFLAGS 0x1L");
  line("#else");
  line(" FILEFLAGS 0x0L");
  line("#endif");
  line(" FILEOS 0x40004L");
  line(" FILETYPE 0x2L");
  line(" FILESUBTYPE 0x0L");
  line("BEGIN");
  line("    BLOCK \"StringFileInfo\"");
  line("    BEGIN");
  line("        BLOCK \"080904b0\"");
  line("        BEGIN");
  value("Comments", "");
  value("CompanyName", "", "  ");
  value("FileDescription", L);
  value("FileVersion", "38, 0, 0, 380");
  value("InternalName", L);
  // Code page 1252: the copyright sign is the one byte 0xA9.
  value("LegalCopyright", std::string("Copyright \xA9 ") + std::to_string(year));
  value("LegalTrademarks", "");
  value("OriginalFilename", name + ".so");
  value("PrivateBuild", "");
  value("ProductName", L);
  value("ProductVersion", "38, 0, 0, 0");
  value("SpecialBuild", "");
  line("        END");
  line("    END");
  line("    BLOCK \"VarFileInfo\"");
  line("    BEGIN");
  line("        VALUE \"Translation\", 0x809, 1200");
  line("    END");
  line("END");
  line("#endif // English (U.K.) resources");
  std::fclose(file);
  return 0;
}
