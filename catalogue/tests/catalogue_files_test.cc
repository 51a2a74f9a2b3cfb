// The catalogue's files as every program makes them: an empty catalogue and
// the demo catalogue keep their bytes from one build to the next (the date of
// the last change in a table's header aside), so a catalogue made by one
// build, or by the other programs that read these tables, is the same one.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "catalogue/demo_catalogue.h"
#include "catalogue/schema.h"
#include "temp_dir.h"
#include "xce.h"

namespace {

namespace fs = std::filesystem;

struct Digest {
  uint64_t size = 0;
  uint64_t fnv = 0;
  bool operator==(const Digest&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Digest& d) {
  return out << d.size << " bytes, 0x" << std::hex << d.fnv << std::dec;
}

bool IsTable(const fs::path& file) {
  std::string ext = file.extension().string();
  return ext == ".dbf" || ext == ".DBF";
}

// FNV-1a over the file's bytes; a table's date of last change (header bytes
// 1 to 3) reads as zeros.
std::map<std::string, Digest> Digests(const fs::path& dir) {
  std::map<std::string, Digest> out;
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (IsTable(entry.path()) && bytes.size() >= 4) {
      bytes.replace(1, 3, 3, '\0');
    }
    uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : bytes) {
      h = (h ^ c) * 0x100000001b3ULL;
    }
    out[entry.path().filename().string()] = {bytes.size(), h};
  }
  return out;
}

class CatalogueFilesTest : public ::testing::Test {
 protected:
  testsupport::TempDir tmp_{"catfiles"};
  fs::path dir_ = tmp_.path();
};

TEST_F(CatalogueFilesTest, EmptyCatalogueKeepsItsBytes) {
  XDSHANDLE c = 0;
  ASSERT_EQ(XdsConnect60(dir_.c_str(), XDS_SERVER_LOCAL, "", "", 0, &c), 0);
  ASSERT_EQ(catalogue::CreateCatalogue(c), 0);
  ASSERT_EQ(XdsDisconnect(c), 0);
  const std::map<std::string, Digest> expected = {
      {"TEM.cdx", {4608, 0x1a16107dd8d9336bULL}},  {"TEM.dbf", {130, 0xa609f1908183a3bdULL}},
      {"TYPE.CDX", {4608, 0x7f6c772028ce1357ULL}}, {"TYPE.DBF", {130, 0xec59e440db54af54ULL}},
      {"URLIN.CDX", {6144, 0x30513114dd2d44b2ULL}}, {"URLIN.DBF", {98, 0x1c280d0c789b5c8cULL}},
      {"urls.CDX", {7680, 0x925a3ad2137a26d5ULL}}, {"urls.DBF", {194, 0xefb15edf199e7795ULL}},
      {"urls.FPT", {512, 0x4380d366ae12bffdULL}},
  };
  EXPECT_EQ(Digests(dir_), expected);
  EXPECT_EQ(catalogue::CatalogueFilesIn(dir_.string()).size(), expected.size());
}

TEST_F(CatalogueFilesTest, DemoCatalogueKeepsItsBytes) {
  ASSERT_EQ(catalogue::WriteDemoCatalogue(dir_.string(), 1000), 0);
  const std::map<std::string, Digest> expected = {
      {"TEM.cdx", {4608, 0x7d371a47aeb83ec1ULL}},
      {"TEM.dbf", {840, 0x28f65ed475d82937ULL}},
      {"TYPE.CDX", {4608, 0x1ffd53a019d3b4cbULL}},
      {"TYPE.DBF", {835, 0x51b9db11774d0767ULL}},
      {"URLFULL.CDX", {3072, 0xaf65b0feac57d70eULL}},
      {"URLFULL.DBF", {182, 0xc779434f33e9d305ULL}},
      {"URLFULL.FPT", {2048, 0x5c1e11d09c045385ULL}},
      {"URLIN.CDX", {42496, 0x181faed05924ea68ULL}},
      {"URLIN.DBF", {63098, 0xb432ee67ae034f40ULL}},
      {"urls.CDX", {56320, 0x7b00d64c5211fed7ULL}},
      {"urls.DBF", {231194, 0x77b2a8160bcee5ddULL}},
      {"urls.FPT", {104448, 0x6df6a7c628c7c687ULL}},
  };
  EXPECT_EQ(Digests(dir_), expected);
}

}  // namespace
