#include "app/startup.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "apis/api_dialog.h"
#include "app/about_dlg.h"
#include "app/diag_tool_app.h"
#include "app/prop_sheet.h"
#include "card/atr_list.h"
#include "platform/services.h"
#include "platform/text.h"
#include "reader/kestrel_dialog.h"
#include "reader/reader_dialog.h"
#include "res/strings.h"
#include "rfid/dlg_baudrates.h"
#include "rfid/prox_settings.h"
#include "rfid/rfid_setting_dlg.h"
#include "status/diag_tool_dlg.h"

namespace {

struct QtPlace {
  const char* variable;
  const char* underRootHome;  // root's own place, below its home
};

constexpr std::array<QtPlace, 5> kQtPlaces = {{
    {"HOME", ""},
    {"XDG_CONFIG_HOME", "/.config"},
    {"XDG_CACHE_HOME", "/.cache"},
    {"XDG_DATA_HOME", "/.local/share"},
    {"XDG_STATE_HOME", "/.local/state"},
}};
// Search paths and files from which Qt and fontconfig load plugins (code) or
// read configuration (fontconfig's configuration names its cache directories).
constexpr std::array<const char*, 5> kSearchPaths = {"QT_PLUGIN_PATH", "QT_QPA_PLATFORM_PLUGIN_PATH", "FONTCONFIG_PATH",
                                                     "XDG_CONFIG_DIRS", "XDG_DATA_DIRS"};
constexpr std::array<const char*, 2> kConfigFiles = {"QT_LOGGING_CONF", "FONTCONFIG_FILE"};
constexpr char kRootRuntime[] = "/run/user/0";
constexpr char kPrivateRuntime[] = "/.cache/velkaro-diag-runtime";

// True when nobody but root can change what `path` leads to: absolute, no
// link on the way, every directory root's and writable by nobody else. An
// ancestor may be sticky, as /tmp is (others cannot move root's entries
// there); a part still to be made must lie in a directory only root writes.
bool OnlyRootControls(const std::string& path) {
  if (!path.starts_with('/')) return false;
  std::vector<std::string_view> parts;
  for (std::string_view rest = path; !rest.empty();) {
    const std::size_t slash = rest.find('/');
    const std::string_view part = rest.substr(0, slash);
    rest.remove_prefix(slash == std::string_view::npos ? rest.size() : slash + 1);
    if (part == "..") return false;
    if (!part.empty() && part != ".") parts.push_back(part);
  }
  std::string walked = "/";
  struct stat st {};
  if (::lstat("/", &st) != 0 || st.st_uid != 0) return false;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const bool othersMayWriteParent = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    walked += (i ? "/" : "") + std::string(parts[i]);
    if (::lstat(walked.c_str(), &st) != 0) return errno == ENOENT && !othersMayWriteParent;
    if (!S_ISDIR(st.st_mode) || st.st_uid != 0) return false;
    const bool last = i + 1 == parts.size();
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) && (last || !(st.st_mode & S_ISVTX))) return false;
  }
  return true;
}

void Replace(const char* variable, const char* given, const std::string& own) {
  // The value came from another user's environment: shown, never acted on.
  velkaro::OutputDebugString(std::string("Running as root: ") + variable + "=" +
                             (given ? velkaro::EscapeControls(given) : "(unset)") + " replaced by " + own +
                             ", a place root alone controls");
  ::setenv(variable, own.c_str(), 1);
}

// A file only root may change, in a directory only root controls.
bool OnlyRootControlsFile(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || !OnlyRootControls(slash == 0 ? "/" : path.substr(0, slash))) return false;
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Every entry of a ':' list; an empty one would mean the working directory.
bool OnlyRootControlsEach(std::string_view list) {
  for (;;) {
    const std::size_t colon = list.find(':');
    if (!OnlyRootControls(std::string(list.substr(0, colon)))) return false;
    if (colon == std::string_view::npos) return true;
    list.remove_prefix(colon + 1);
  }
}

void Drop(const char* variable, const char* given) {
  velkaro::OutputDebugString(std::string("Running as root: ") + variable + "=" + velkaro::EscapeControls(given) +
                             " dropped, it names a place root alone does not control");
  ::unsetenv(variable);
}

}  // namespace

std::string RootHome() {
  struct passwd entry {};
  struct passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (::getpwuid_r(0, &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir) {
    return found->pw_dir;
  }
  return "/root";
}

void KeepQtFilesInRootsPlaces(const std::string& rootHome) {
  if (::geteuid() != 0) return;
  for (const QtPlace& place : kQtPlaces) {
    const char* given = std::getenv(place.variable);
    // Unset, the XDG places follow HOME; HOME itself must be there.
    if (given ? OnlyRootControls(given) : place.underRootHome[0] != '\0') continue;
    Replace(place.variable, given, rootHome + place.underRootHome);
  }
  // Unset, these fall back to the system's own places.
  for (const char* variable : kSearchPaths) {
    if (const char* given = std::getenv(variable); given && !OnlyRootControlsEach(given)) Drop(variable, given);
  }
  for (const char* variable : kConfigFiles) {
    if (const char* given = std::getenv(variable); given && !OnlyRootControlsFile(given)) Drop(variable, given);
  }
  // Qt wants a runtime directory of mode 0700 and makes one in /tmp when none is set.
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat st {};
  const auto usable = [&st](const std::string& path) {
    return OnlyRootControls(path) && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           (st.st_mode & 07777) == 0700;
  };
  if (runtime && usable(runtime)) return;
  std::string own = kRootRuntime;
  if (!usable(own)) {
    own = rootHome + kPrivateRuntime;
    ::mkdir((rootHome + "/.cache").c_str(), 0700);
    ::mkdir(own.c_str(), 0700);
    // Root's alone, so its mode may be set whatever it was.
    if (OnlyRootControls(own)) ::chmod(own.c_str(), 0700);
  }
  Replace("XDG_RUNTIME_DIR", runtime, own);
}

CDiagToolDlg* AddGeneralPage(CDiagToolPropSheet& sheet, CDiagToolApp& app) {
  auto* general = new CDiagToolDlg(&sheet);
  general->SetAdditionalReaderTest([&app](const std::string& name) { return app.IsAdditionalReader(name); });
  general->SetReaderPageFactory(
      kGroupReaderPages, [cardNames = app.CardTables()](const std::string& name, const ReaderModel* row) {
        CReaderDialog* page = CReaderDialog::Create();
        page->SetReaderName(name);
        page->SetModelFlags(row);
        page->SetCardNames(cardNames);
        return page;
      });
  general->SetReaderPageFactory(
      kGroupKestrelPages, [cardNames = app.CardTables()](const std::string& name, const ReaderModel* row) {
        CKestrel* page = CKestrel::Create();
        page->SetReaderName(name);
        page->SetColumn1(row ? row->column1 : 0);
        page->SetCardNames(cardNames);
        return page;
      });
  general->SetSettingsPageFactory(kGroupRfidSettings, [] { return CRFIDSettingDlg::Create(); });
  general->SetSettingsPageFactory(kGroupRfidBaudrates, [] { return CDlgBaudrates::Create(); });
  general->SetSettingsPageFactory(kGroupProxSettings, [] { return CProxSettings::Create(); });
  general->SetApiPageFactory([] { return CApiDialog::Create(); });
  sheet.SetAboutHandler([&sheet] {
    CAboutDlg about(&sheet);
    about.exec();
  });
  // The button and the menu entry both simply write the log.
  general->SetCreateLogfileHandler([&app] { app.CreateLogfile(); });
  sheet.SetCreateLogfileHandler([&app] { app.CreateLogfile(); });
  // The window owns the General page and destroys it first.
  sheet.AddPage(general);
  return general;
}

int RunDiagTool(CDiagToolApp& app) {
  // Read on a thread of its own while the window comes up.
  app.SetAtrList(CAtrList::Load(CAtrList::ListPath()));
  if (!app.LoadConfiguration()) return 1;

  auto sheet = std::make_unique<CDiagToolPropSheet>(QString::fromStdString(app.BuildWindowTitle()), nullptr, 0);
  AddGeneralPage(*sheet, app);
  sheet->DoModal();
  sheet.reset();
  return 0;
}

ProgramServices::ProgramServices() : m_messageBox(res::kAppTitle) {
  velkaro::InstallMessageBox(&m_messageBox);
  velkaro::InstallSaveFileDialog(&m_saveDialog);
  velkaro::InstallUrlOpener(&m_urlOpener);
  velkaro::InstallServiceControl(&m_serviceControl);
  velkaro::InstallBackgroundRunner(&m_backgroundRunner);
  velkaro::InstallProgressDialog(&m_progress);
}

ProgramServices::~ProgramServices() {
  velkaro::InstallProgressDialog(nullptr);
  velkaro::InstallBackgroundRunner(nullptr);
  velkaro::InstallServiceControl(nullptr);
  velkaro::InstallMessageBox(nullptr);
  velkaro::InstallSaveFileDialog(nullptr);
  velkaro::InstallUrlOpener(nullptr);
}
