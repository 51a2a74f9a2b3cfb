// The in-memory dataset against the behaviour every dataset kind owes.

#include "dataset_conformance.h"
#include "db/mem_dataset.h"
#include "test_util.h"

namespace {

struct MemKind {
  static std::unique_ptr<TDataSet> Make(int count) {
    auto ds = std::make_unique<TMemDataSet>();
    FillTable(*ds, count);
    return ds;
  }
  static void HideOddIds(TDataSet& ds) {
    static_cast<TMemDataSet&>(ds).SetRecordFilter(
        [](const TMemDataSet::TRecordView& r) { return r.Value("ID").AsInteger() % 2 == 0; });
  }
};

INSTANTIATE_TYPED_TEST_SUITE_P(Mem, DataSetConformance, MemKind);

}  // namespace
