// The about box: the program line, the setup path from the settings store,
// and the vendor's link with its fallback through the configured browser
// command.

#include "app/about_dlg.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include "app/about_info.h"
#include "app/hyper_link.h"
#include "fakes.h"
#include "platform/url_opener.h"
#include "registry_fixture.h"
#include "temp_dir.h"

namespace {

using namespace testing_support;

// Opens nothing; records what it was asked.
class FakeUrlOpener final : public velkaro::IUrlOpener {
 public:
  FakeUrlOpener() : m_scope(*this, &velkaro::UrlOpener, &velkaro::InstallUrlOpener) {}
  int OpenUrl(const std::string& url) override {
    opened.push_back(url);
    return openResult;
  }
  int RunCommandLine(const std::string& commandLine) override {
    commandLines.push_back(commandLine);
    return runResult;
  }

  int openResult = velkaro::kNoAssociation;
  int runResult = 2;
  std::vector<std::string> opened;
  std::vector<std::string> commandLines;

 private:
  velkaro::ScopedService<velkaro::IUrlOpener> m_scope;
};

constexpr char kStoreHeader[] = "Windows Registry Editor Version 5.00\n\n";

}  // namespace

TEST(AboutTest, ProgramLineCarriesTheFileVersion) {
  FakeSystemInfo system;
  system.modulePath = VELKARO_DIAG_BINARY;
  EXPECT_EQ(about::ProgramLine(), std::string("VELKARO Diagnostic Tool V") + VELKARO_VERSION);
  system.modulePath = VELKARO_FIXTURE_NO_NOTE;
  EXPECT_EQ(about::ProgramLine(), "VELKARO Diagnostic Tool V<missing>");
}

TEST(AboutTest, SetupPathFromTheStoreTheProgramDirectoryOrUnknown) {
  FakeSystemInfo system;
  system.modulePath = "/opt/velkaro/bin/velkaro-diag";
  const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\VELKARO\\DiagnosticTool]\n";
  const struct {
    std::string store;
    std::string line;
  } cases[] = {
      {key + "\"SetupDir\"=\"/usr/libexec/velkaro\"\n", "Setup Path: /usr/libexec/velkaro"},
      {"", "Setup Path: /opt/velkaro/bin/"},                            // no key
      {key, "Setup Path: unknown"},                                     // no value
      {key + "\"SetupDir\"=\"" + std::string(2000, 'x') + "\"\n", "Setup Path: unknown"},  // too long to read
      {key + "\"SetupDir\"=\"/" + std::string(1022, 'x') + "\"\n", "Setup Path: /" + std::string(1022, 'x')},
  };
  for (const auto& c : cases) {
    RegistryStores stores;
    stores.WriteMachine(kStoreHeader + c.store);
    EXPECT_EQ(about::SetupPathLine(), c.line);
    CAboutDlg dialog;
    dialog.show();
    // Shown whole, or elided with the whole line in the tooltip; the box
    // and its OK button stay on the screen.
    const QLabel* shown = dialog.SetupPathLine();
    const bool elided = shown->text().contains(QChar(0x2026));
    EXPECT_EQ((elided ? shown->toolTip() : shown->text()).toStdString(), c.line);
    EXPECT_EQ(elided, c.line.size() > 1000) << c.line.size();
    const QRect screen = dialog.screen()->availableGeometry();
    EXPECT_LE(dialog.frameGeometry().width(), screen.width());
    const auto* ok = dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
    EXPECT_TRUE(screen.contains(QRect(ok->mapToGlobal(QPoint(0, 0)), ok->size()))) << c.line.size();
  }
}

TEST(AboutTest, FallbackCommandTakesTheAddressInPlaceOfItsPlaceholder) {
  const std::string url = "https://www.velkaro.example/";
  EXPECT_EQ(about::FallbackCommandLine("/usr/bin/firefox \"%1\"", url), "/usr/bin/firefox  " + url);
  EXPECT_EQ(about::FallbackCommandLine("/usr/bin/firefox -new-tab %1 -x", url), "/usr/bin/firefox -new-tab  " + url);
  EXPECT_EQ(about::FallbackCommandLine("/usr/bin/firefox", url), "/usr/bin/firefox " + url);
}

TEST(AboutTest, LinkThatCannotBeOpenedTellsWhyAndStaysUnvisited) {
  RegistryStores stores;
  RecordingMessageBox messages;
  FakeUrlOpener opener;
  CAboutDlg dialog;
  CHyperLink* link = dialog.Link();
  EXPECT_EQ(link->URL(), about::kVendorAddress);
  EXPECT_EQ(link->toolTip().toStdString(), about::kVendorAddress);
  EXPECT_EQ(link->TextColour(), CHyperLink::kLinkColour);
  EXPECT_EQ(link->textFormat(), Qt::PlainText);

  QTest::mouseClick(link, Qt::LeftButton);
  EXPECT_EQ(opener.opened, std::vector<std::string>{about::kVendorAddress});
  EXPECT_TRUE(opener.commandLines.empty()) << "no browser command is configured";
  ASSERT_EQ(messages.Shown().size(), 1u);
  EXPECT_EQ(messages.Shown()[0].text,
            "Unable to open hyperlink:\n\nThere is no application associated\nwith the given filename extension.");
  EXPECT_EQ(messages.Shown()[0].style, velkaro::MB_ICONEXCLAMATION | velkaro::MB_OK);
  EXPECT_FALSE(link->IsVisited());
  EXPECT_EQ(link->TextColour(), CHyperLink::kLinkColour);

  // The configured browser command fails too: its code is told.
  stores.WriteMachine(std::string(kStoreHeader) + "[HKEY_CLASSES_ROOT\\.htm]\n@=\"htmlfile\"\n\n" +
                      "[HKEY_CLASSES_ROOT\\htmlfile\\shell\\open\\command]\n@=\"/no/browser \\\"%1\\\"\"\n");
  QTest::mouseClick(link, Qt::LeftButton);
  EXPECT_EQ(opener.commandLines, std::vector<std::string>{std::string("/no/browser  ") + about::kVendorAddress});
  EXPECT_EQ(messages.Shown().back().text, "Unable to open hyperlink:\n\nThe specified file was not found.");
  EXPECT_FALSE(link->IsVisited());
}

TEST(AboutTest, LinkThatOpensTurnsVisitedAtOnce) {
  RegistryStores stores;
  RecordingMessageBox messages;
  FakeUrlOpener opener;
  opener.openResult = velkaro::kOpenSucceeded;
  CAboutDlg dialog;
  QTest::mouseClick(dialog.Link(), Qt::LeftButton);
  EXPECT_TRUE(dialog.Link()->IsVisited());
  EXPECT_EQ(dialog.Link()->TextColour(), CHyperLink::kVisitedColour);
  EXPECT_TRUE(messages.Shown().empty());
}

TEST(AboutTest, LinkFitsItsTextAsItsAlignmentSays) {
  const QRect box(10, 20, 200, 40);
  const QSize text(50, 10);
  EXPECT_EQ(CHyperLink::FitRect(box, text, Qt::AlignLeft | Qt::AlignTop), QRect(10, 20, 50, 10));
  EXPECT_EQ(CHyperLink::FitRect(box, text, Qt::AlignRight | Qt::AlignTop), QRect(160, 20, 50, 10));
  EXPECT_EQ(CHyperLink::FitRect(box, text, Qt::AlignHCenter | Qt::AlignVCenter), QRect(85, 35, 50, 10));
}

TEST(UrlOpenerTest, CommandLinesStartProgramsWithoutAShell) {
  EXPECT_EQ(velkaro::SplitCommandLine("\"/opt/my browser/run\" -a  \"two words\" x"),
            (std::vector<std::string>{"/opt/my browser/run", "-a", "two words", "x"}));
  EXPECT_EQ(velkaro::StartCommandLine("true ; rm -rf /nonexistent"), velkaro::kOpenSucceeded);
  EXPECT_EQ(velkaro::StartCommandLine("/no/such/browser https://x.example/"), 2);
  EXPECT_EQ(velkaro::StartCommandLine(""), 2);
  TempDir dir;
  dir.Write("not-a-program", "neither ELF nor script\n");
  ::chmod((dir / "not-a-program").c_str(), 0755);
  EXPECT_EQ(velkaro::StartCommandLine(dir / "not-a-program"), 11);
}
