// Tables written by the engine are read by Debian's python3-dbf, and tables
// that python3-dbf writes are read by the engine, values compared.
#include <cstdlib>

#include "child_process.h"
#include "test_util.h"

namespace xcetest {
namespace {

// Runs python with a script (no shell); returns its exit status and output.
int RunPython(const std::string& script, const std::string& dir, std::string* output) {
  fs::path out = fs::path(dir) / "python.out";
  const int status =
      testsupport::RunChildWith({testsupport::Python(), "-c", script, dir}, {out.string(), ""});
  if (output != nullptr) {
    *output = ReadBytes(out);
  }
  fs::remove(out);
  return status;
}

bool HavePythonDbf() {
  TempDir dir;
  return RunPython("import dbf", dir.str(), nullptr) == 0;
}

TEST(Interop, PythonDbfReadsTablesTheEngineWrites) {
  if (!HavePythonDbf()) {
    GTEST_SKIP() << "python3-dbf is not installed";
  }
  TempDir dir;
  {
    ApiTable t(dir.str());
    ASSERT_EQ(t.Create("e.dbf", {{"NAME", 'C', 10, 0},
                                 {"QTY", 'N', 8, 2},
                                 {"DAY", 'D', 0, 0},
                                 {"OK", 'L', 0, 0},
                                 {"NOTE", 'M', 0, 0}}),
              0);
    ASSERT_EQ(t.Open("e.dbf"), 0);
    ASSERT_EQ(t.Append({"abc", "12.5", "20240229", "T", "memo one"}), 0);
    ASSERT_EQ(t.Append({"\xA8\xEB\xEA\xE0", "-3", "", "F", ""}), 0) << LastError();
    ASSERT_EQ(
        t.Create("v.dbf", {{"I", 'I', 0, 0}, {"B", 'B', 0, 2}, {"T", 'T', 0, 0}, {"Y", 'Y', 0, 0}}),
        0);
    ASSERT_EQ(t.Open("v.dbf"), 0);
    ASSERT_EQ(t.Append({"-123456", "2.5", "20010203040506000", "12.34"}), 0);
  }
  const std::string script = R"(
import dbf, sys, os
for name in ('e.dbf', 'v.dbf'):
    t = dbf.Table(os.path.join(sys.argv[1], name))
    t.open()
    for r in t:
        print(ascii([r[f].rstrip() if isinstance(r[f], str) else r[f] for f in t.field_names]))
    t.close()
)";
  std::string out;
  ASSERT_EQ(RunPython(script, dir.str(), &out), 0) << out;
  EXPECT_EQ(out,
            "['abc', 12.5, datetime.date(2024, 2, 29), True, 'memo one']\n"
            "['\\u0401\\u043b\\u043a\\u0430', -3.0, None, False, '']\n"
            "[-123456, 2.5, datetime.datetime(2001, 2, 3, 4, 5, 6), Decimal('12.3400')]\n");
}

TEST(Interop, EngineReadsTablesPythonDbfWrites) {
  if (!HavePythonDbf()) {
    GTEST_SKIP() << "python3-dbf is not installed";
  }
  TempDir dir;
  const std::string script = R"(
import dbf, sys, os, datetime
d = sys.argv[1]
t = dbf.Table(os.path.join(d, 'py.dbf'), 'NAME C(10); QTY N(8,2); DAY D; OK L; NOTE M',
              dbf_type='fp', codepage='cp1251')
t.open(dbf.READ_WRITE)
t.append(('abc', 12.5, datetime.date(2024, 2, 29), True, 'memo one'))
t.append(('\u0401\u043b\u043a\u0430', -3, None, False, 'x' * 300))
t.close()
t = dbf.Table(os.path.join(d, 'pv.dbf'), 'I I; B B; T T; Y Y', dbf_type='vfp', codepage='cp1251')
t.open(dbf.READ_WRITE)
t.append((-123456, 2.5, datetime.datetime(2001, 2, 3, 4, 5, 6), 12.34))
t.close()
)";
  ASSERT_EQ(RunPython(script, dir.str(), nullptr), 0);
  ApiTable t(dir.str());
  ASSERT_EQ(t.Open("py.dbf", XDS_OPEN_READONLY), 0) << LastError();
  EXPECT_EQ(t.Field(1), "abc       ");
  EXPECT_EQ(t.Field(2), "12.50");
  EXPECT_EQ(t.Field(3), "20240229");
  EXPECT_EQ(t.Field(4), "T");
  EXPECT_EQ(t.Field(5), "memo one");
  ASSERT_EQ(XdsSkip(t.table(), 1), 0);
  EXPECT_EQ(t.Field(1, XDS_GET_TRIM), "\xA8\xEB\xEA\xE0");
  EXPECT_EQ(t.Field(2), "-3.00");
  EXPECT_EQ(t.Field(3), "        ");
  EXPECT_EQ(t.Field(4), "F");
  EXPECT_EQ(t.Field(5), std::string(300, 'x'));
  ASSERT_EQ(t.Open("pv.dbf", XDS_OPEN_READONLY), 0) << LastError();
  EXPECT_EQ(t.Field(1), "-123456");
  EXPECT_DOUBLE_EQ(std::strtod(t.Field(2).c_str(), nullptr), 2.5);
  EXPECT_EQ(t.Field(3), "20010203040506000");
  EXPECT_EQ(t.Field(4), "12.3400");
}

}  // namespace
}  // namespace xcetest
