// The framework's conformance suite against the table component on real
// tables, beside the in-memory dataset.

#include "dataset_conformance.h"
#include "xds_test_util.h"

namespace {

using namespace xdstest;

// A table component that owns the directory and connection it opens on.
class OwnedTable : public TXdsTable {
 public:
  ~OwnedTable() override { Close(); }
  TempDir dir;
  std::unique_ptr<TXdsConnection> connection;
};

struct XdsKind {
  // Editing, Locate, Lookup and filter expressions are all built.
  static constexpr bool kEditing = true;
  static constexpr bool kFinding = true;

  static std::unique_ptr<TDataSet> Make(int count) {
    auto t = std::make_unique<OwnedTable>();
    std::string dir = t->dir.str();
    CreateTable(dir, "T.DBF", {{"ID", 'N', 10, 0}, {"NAME", 'C', 10, 0}});
    XDSHANDLE c = 0;
    XDSHANDLE h = 0;
    EXPECT_EQ(XdsConnect60(dir.c_str(), XDS_SERVER_LOCAL, "", "", 0, &c), 0);
    EXPECT_EQ(XdsOpenTable(c, "T.DBF", nullptr, 2, 1, 1, 1, 1, &h), 0);
    for (int i = 1; i <= count; ++i) {
      std::string id = std::to_string(i);
      std::string name = "n" + id;
      EXPECT_EQ(XdsAppendRecord(h), 0);
      EXPECT_EQ(XdsSetField(h, 1, id.data(), static_cast<uint32_t>(id.size())), 0);
      EXPECT_EQ(XdsSetField(h, 2, name.data(), static_cast<uint32_t>(name.size())), 0);
      EXPECT_EQ(XdsWriteRecord(h), 0);
    }
    EXPECT_EQ(XdsCloseTable(h), 0);
    EXPECT_EQ(XdsDisconnect(c), 0);
    t->connection = Connect(dir);
    t->SetName("T");
    t->SetXdsConnection(t->connection.get());
    t->SetTableType(ttXdsCDX);
    t->SetTableName("T.DBF");
    t->SetExclusive(true);
    t->Open();
    EXPECT_EQ(XdsSetDeleted(t->TableHandle(), 1), 0);
    t->First();
    return t;
  }
  static void HideOddIds(TDataSet& ds) { ds.SetFilter("ID % 2 = 0"); }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Xds, DataSetConformance, XdsKind);

}  // namespace
