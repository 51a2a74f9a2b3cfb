#include "catalogue_test_util.h"

#include <QString>
#include <cstring>
#include <fstream>
#include <sstream>

#include "catalogue/schema.h"
#include "child_process.h"
#include "qt_text.h"

namespace cattest {

std::string Cp1251(const std::string& utf8) { return ui::FromQString(QString::fromUtf8(utf8)); }

EngineConnection::EngineConnection(const fs::path& dir) {
  EXPECT_EQ(XdsConnect60(dir.c_str(), XDS_SERVER_LOCAL, "", "", 0, &handle_), 0);
}

EngineConnection::~EngineConnection() {
  if (handle_ != 0) {
    EXPECT_EQ(XdsDisconnect(handle_), 0);
  }
}

void CreateCatalogue(const fs::path& dir) {
  EngineConnection c(dir);
  ASSERT_EQ(catalogue::CreateCatalogue(c.handle()), 0);
}

namespace {

void SetText(XDSHANDLE t, uint16_t field, const std::string& text) {
  ASSERT_EQ(XdsSetField(t, field, text.data(), static_cast<uint32_t>(text.size())), 0);
}

std::string Field(XDSHANDLE t, uint16_t field) {
  char buffer[256];
  uint32_t length = sizeof buffer;
  EXPECT_EQ(XdsGetField(t, field, buffer, &length, XDS_GET_TRIM), 0);
  return std::string(buffer, length);
}

}  // namespace

void AppendSections(const fs::path& dir, const std::vector<Row>& rows) {
  EngineConnection c(dir);
  XDSHANDLE t = 0;
  ASSERT_EQ(catalogue::OpenCatalogueTable(c.handle(), catalogue::CatalogueTables()[catalogue::kTem],
                                          false, &t),
            0);
  for (const Row& row : rows) {
    ASSERT_EQ(XdsAppendRecord(t), 0);
    SetText(t, 1, std::to_string(row.id));
    SetText(t, 2, row.name);
    SetText(t, 3, std::to_string(row.parent));
    ASSERT_EQ(XdsWriteRecord(t), 0);
  }
  ASSERT_EQ(XdsCloseTable(t), 0);
}

void AppendMemberships(const fs::path& dir, const std::vector<std::pair<int, int>>& rows) {
  EngineConnection c(dir);
  XDSHANDLE t = 0;
  ASSERT_EQ(catalogue::OpenCatalogueTable(
                c.handle(), catalogue::CatalogueTables()[catalogue::kUrlIn], false, &t),
            0);
  for (auto [section, url] : rows) {
    ASSERT_EQ(XdsAppendRecord(t), 0);
    SetText(t, 1, std::to_string(section));
    SetText(t, 2, std::to_string(url));
    ASSERT_EQ(XdsWriteRecord(t), 0);
  }
  ASSERT_EQ(XdsCloseTable(t), 0);
}

std::vector<Row> Sections(const fs::path& dir) {
  EngineConnection c(dir);
  XDSHANDLE t = 0;
  std::vector<Row> rows;
  EXPECT_EQ(catalogue::OpenCatalogueTable(c.handle(), catalogue::CatalogueTables()[catalogue::kTem],
                                          true, &t),
            0);
  if (t == 0) {
    return rows;
  }
  uint16_t idNo = 0, nameNo = 0, parentNo = 0;
  EXPECT_EQ(XdsGetFieldNumber(t, "INID", &idNo), 0);
  EXPECT_EQ(XdsGetFieldNumber(t, "INNAME", &nameNo), 0);
  EXPECT_EQ(XdsGetFieldNumber(t, "PREIN", &parentNo), 0);
  EXPECT_EQ(XdsSetDeleted(t, 1), 0);
  uint16_t eof = 0;
  EXPECT_EQ(XdsGotoTop(t), 0);
  for (; XdsAtEOF(t, &eof) == 0 && !eof;) {
    rows.push_back({std::stoi(Field(t, idNo)), std::stoi(Field(t, parentNo)), Field(t, nameNo)});
    const XDSRESULT r = XdsSkip(t, 1);
    EXPECT_TRUE(r == 0 || r == XDS_ERR_NO_CURRENT_RECORD) << r;
  }
  EXPECT_EQ(XdsCloseTable(t), 0);
  return rows;
}

uint32_t StoredUrlRecords(const fs::path& dir) {
  EngineConnection c(dir);
  XDSHANDLE t = 0;
  EXPECT_EQ(catalogue::OpenCatalogueTable(c.handle(),
                                          catalogue::CatalogueTables()[catalogue::kUrls], true, &t),
            0);
  uint32_t count = 0;
  EXPECT_EQ(XdsGetRecordCount(t, XDS_COUNT_IGNORE_FILTERS, &count), 0);
  EXPECT_EQ(XdsCloseTable(t), 0);
  return count;
}

std::string CheckTable(const fs::path& dir, const std::string& table) {
  EngineConnection c(dir);
  std::vector<char> report(1 << 16);
  uint32_t length = static_cast<uint32_t>(report.size());
  XDSRESULT r = XdsCheckTable(c.handle(), table.c_str(), report.data(), &length);
  if (r == 0) {
    return "";
  }
  std::string text(report.data(), std::min<size_t>(length, report.size()));
  text.resize(std::min(text.size(), std::strlen(text.c_str())));
  return "check failed (" + std::to_string(r) + "): " + text;
}

namespace {

// Runs python3 with a script and arguments (no shell); its exit status, and
// its output in *out.
int RunPython(const std::string& script, std::vector<std::string> args, const fs::path& outFile,
              std::string* out) {
  std::vector<std::string> argv = {testsupport::Python(), "-c", script};
  argv.insert(argv.end(), args.begin(), args.end());
  const int status = testsupport::RunChildWith(argv, {outFile.string(), outFile.string()});
  std::ifstream in(outFile, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  *out = text.str();
  std::error_code ignored;
  fs::remove(outFile, ignored);
  return status;
}

}  // namespace

std::optional<std::string> PythonDbfRecords(const fs::path& dir, const std::string& table,
                                            const std::string& codepage) {
  static const char kScript[] = R"(
import sys
try:
    import dbf
except ImportError:
    sys.exit(77)
import os, shutil, tempfile
path = sys.argv[1]
folder, name = os.path.split(path)
stem, ext = os.path.splitext(name)
# The reader looks for the memo file in the letter case of the table's
# extension; files from a case-blind system may have it in another.
memo = stem + ('.FPT' if ext.isupper() else '.fpt')
if not os.path.exists(os.path.join(folder, memo)):
    for other in os.listdir(folder):
        if other.lower() == memo.lower():
            scratch = tempfile.mkdtemp()
            shutil.copy(path, scratch)
            shutil.copy(os.path.join(folder, other), os.path.join(scratch, memo))
            path = os.path.join(scratch, name)
t = dbf.Table(path, codepage=sys.argv[2])
t.open(dbf.READ_ONLY)
for r in t:
    if dbf.is_deleted(r):
        continue
    out = []
    for v in r:
        if isinstance(v, float) and v == int(v):
            v = int(v)
        out.append(str(v).strip())
    print('|'.join(out))
t.close()
if path != sys.argv[1]:
    shutil.rmtree(os.path.dirname(path))
)";
  std::string out;
  int status = RunPython(kScript, {(dir / table).string(), codepage}, dir / "python.out", &out);
  if (status == 77) {
    return std::nullopt;
  }
  if (status != 0) {
    return "error: " + out;
  }
  return out;
}

}  // namespace cattest
