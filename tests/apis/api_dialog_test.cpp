// The "APIs" tab over a system tree of the test's own: which libraries are
// listed, in which order, with which version.

#include "apis/api_dialog.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QTest>
#include <QTreeWidget>
#include <filesystem>
#include <memory>

#include "fakes.h"
#include "temp_dir.h"

namespace {

using testing_support::TempDir;

const std::string kLibDir = "usr/lib/" VELKARO_MULTIARCH_TRIPLET;

QStringList Row(const QTreeWidget* list, int row) {
  QStringList texts;
  for (int column = 0; column < 3; ++column) texts << list->topLevelItem(row)->text(column);
  return texts;
}

}  // namespace

TEST(ApiDialogTest, LibrariesWithAVersionAreListedInTableOrder) {
  const QString version = QStringLiteral(VELKARO_VERSION);
  const struct {
    std::vector<std::pair<const char*, const char*>> installed;  // library, file it is a copy of
    std::vector<QStringList> rows;
  } cases[] = {
      {{{"libmorlek.so", VELKARO_DIAG_BINARY}}, {{"libmorlek.so", version, "SPE-API"}}},
      {{{"libtavrin.so", VELKARO_DIAG_BINARY},
        {"libmorlek.so", VELKARO_DIAG_BINARY},
        {"libquanth.so", VELKARO_DIAG_BINARY},
        {"libzelbric.so", VELKARO_DIAG_BINARY}},
       {{"libzelbric.so", version, "CT-API"},
        {"libquanth.so", version, "Synchronous API"},
        {"libmorlek.so", version, "SPE-API"},
        {"libtavrin.so", version, "GK-API"}}},
      // Found, but without any version source: not listed.
      {{{"libquanth.so", VELKARO_FIXTURE_NO_NOTE}, {"libtavrin.so", VELKARO_DIAG_BINARY}},
       {{"libtavrin.so", version, "GK-API"}}},
      {{}, {}},
  };
  for (const auto& c : cases) {
    TempDir root;
    for (const auto& [library, source] : c.installed) {
      std::filesystem::create_directories(root.path() / kLibDir);
      std::filesystem::copy_file(source, root.path() / kLibDir / library);
    }
    setenv("VELKARO_SYSTEM_ROOT", root.path().c_str(), 1);
    std::unique_ptr<CApiDialog> page(CApiDialog::Create());
    ASSERT_TRUE(page->EnsureInitialised());
    ASSERT_TRUE(QTest::qWaitFor([&] { return page->IsFilled(); }, 10000));
    unsetenv("VELKARO_SYSTEM_ROOT");
    ASSERT_EQ(page->ApiList()->topLevelItemCount(), static_cast<int>(c.rows.size()));
    for (std::size_t i = 0; i < c.rows.size(); ++i) EXPECT_EQ(Row(page->ApiList(), static_cast<int>(i)), c.rows[i]);
  }
}
