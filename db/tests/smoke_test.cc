#include <gtest/gtest.h>
#include "db/mem_dataset.h"
TEST(Smoke, Builds) { TMemDataSet ds; EXPECT_FALSE(ds.Active()); }
