#include "driver/naming.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>

namespace phasefit::driver {
namespace {

struct NamingCase {
  const char* what;
  double wavelength;
  int size;
  const char* label;
  const char* name;
};

TEST(Naming, WavelengthJobsAreNamedFromTheLabelAndTheSize) {
  const NamingCase cases[] = {
      {"reference wavelength", 0.55, 10, "0p55", "WVN_0p55_DE_010.dat"},
      {"two-digit integer part", 10.0, 5, "10p00", "WVN_10p00_DE_005.dat"},
      {"rounded to hundredths", 3.456, 120, "3p46", "WVN_3p46_DE_120.dat"},
      {"inside the tolerance", 0.551, 10, "0p55", "WVN_0p55_DE_010.dat"},
      {"negative", -1.5, 10, "-1p50", "WVN_-1p50_DE_010.dat"},
      {"rounds up to a hundredth", 0.005, 10, "0p01", "WVN_0p01_DE_010.dat"},
      {"zero", 0.0, 10, "0p00", "WVN_0p00_DE_010.dat"},
      {"too wide for F10.2", 12345678.9, 10, "**********", "WVN_**********_DE_010.dat"},
      {"size too wide for I3.3", 0.55, 1000, "0p55", "WVN_0p55_DE_***.dat"},
      {"negative size", 0.55, -1, "0p55", "WVN_0p55_DE_***.dat"},
      {"smallest size", 0.55, 0, "0p55", "WVN_0p55_DE_000.dat"},
      {"largest size", 0.55, 999, "0p55", "WVN_0p55_DE_999.dat"},
  };
  for (const auto& c : cases) {
    const std::string label = wavelength_label(c.wavelength);
    EXPECT_EQ(label, c.label) << c.what << ": wavelength " << c.wavelength;
    EXPECT_EQ(wavelength_file_name(label, c.size), c.name) << c.what << ": size " << c.size;
  }
}

TEST(Naming, BandNamesAreUsedUnchangedAndCutToThirtyCharacters) {
  EXPECT_EQ(band_file_name(band_label("B07"), 7), "B07_DE_007.dat");
  EXPECT_EQ(band_file_name(band_label("ch4.3um"), 10), "ch4.3um_DE_010.dat");
  EXPECT_EQ(band_label("B07 thermal window"), "B07 thermal window");
  EXPECT_EQ(band_label("abcdefghijklmnopqrstuvwxyz0123456789"), "abcdefghijklmnopqrstuvwxyz0123");
  // Cutting may leave trailing blanks, which are not part of the name.
  EXPECT_EQ(band_label("abcdefghijklmnopqrstuvwxyz012  tail"), "abcdefghijklmnopqrstuvwxyz012");
  EXPECT_EQ(band_label("  lead"), "  lead");
  EXPECT_EQ(band_file_name(band_label(""), 5), "_DE_005.dat");
}

TEST(Naming, ReferenceCopyIsNamedBySizeOnly) {
  EXPECT_EQ(reference_file_name(10), "WN_REF_RE_010.dat");
  EXPECT_EQ(reference_file_name(7), "WN_REF_RE_007.dat");
  EXPECT_EQ(reference_file_name(1000), "WN_REF_RE_***.dat");
}

// Names a case-folding or normalising file system takes for one file must
// share a key (else two shards could write one file); ASCII names that
// differ otherwise must not, so that their jobs stay apart.
TEST(Naming, NamesThatMayBeOneFileShareAKeyAndOthersDoNot) {
  const std::pair<const char*, const char*> one_file[] = {
      {"WVN_0P55_DE_005.dat", "wvn_0p55_de_005.DAT"},
      {"Stra\xc3\x9f"
       "e_DE_005.dat",
       "STRASSE_DE_005.dat"},                                 // sharp s
      {"\xe2\x84\xaa_DE_005.dat", "k_DE_005.dat"},            // Kelvin sign
      {"\xc3\xbcn_DE_005.dat", "\xc3\x9cN_DE_005.dat"},       // u umlaut, upper case
      {"caf\xc3\xa9_DE_005.dat", "cafe\xcc\x81_DE_005.dat"},  // precomposed, decomposed
  };
  for (const auto& [a, b] : one_file) EXPECT_EQ(name_key(a), name_key(b)) << a << " " << b;
  const std::pair<const char*, const char*> two_files[] = {
      {"WVN_0p55_DE_005.dat", "WVN_0p55_DE_010.dat"},
      {"B07_DE_005.dat", "B08_DE_005.dat"},
      {"abc_DE_005.dat", "\xc3\xbc_DE_005.dat"},
      {"\xc3\xbc_DE_005.dat", "\xc3\xbc_DE_010.dat"},
  };
  for (const auto& [a, b] : two_files) EXPECT_NE(name_key(a), name_key(b)) << a << " " << b;
}

TEST(Naming, DirectoryAndNameAreJoinedWithoutSeparator) {
  EXPECT_EQ(join_path("/data/coef/", "WVN_0p55_DE_010.dat"), "/data/coef/WVN_0p55_DE_010.dat");
  EXPECT_EQ(join_path("/data/coef", "WVN_0p55_DE_010.dat"), "/data/coefWVN_0p55_DE_010.dat");
  EXPECT_EQ(join_path("", "WVN_0p55_DE_010.dat"), "WVN_0p55_DE_010.dat");
}

TEST(Naming, TextArgumentsAreCutAndLoseOnlyTrailingBlanks) {
  EXPECT_EQ(fixed_field("/data/pf/   ", kPathWidth), "/data/pf/");
  EXPECT_EQ(fixed_field("  /data/pf/", kPathWidth), "  /data/pf/");
  EXPECT_EQ(fixed_field("", kPathWidth), "");
  EXPECT_EQ(fixed_field("    ", kPathWidth), "");
  const std::string long_dir(160, 'd');
  EXPECT_EQ(fixed_field(long_dir, kPathWidth), std::string(150, 'd'));
}

TEST(Naming, ReferenceToleranceIsStrictAndInDouble) {
  struct Case {
    double wavelength;
    bool reference;
  };
  const Case cases[] = {
      {0.55, true},         {0.549, true},  {0.551, true},
      {0.548, false},       {0.552, false}, {0.5510001, false},
      {0.5489999, false},   {-0.55, false}, {0.55 + kReferenceTolerance, false},
      {0.5500009999, true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(is_reference_wavelength(c.wavelength), c.reference) << "wavelength " << c.wavelength;
  EXPECT_FALSE(is_reference_wavelength(std::numeric_limits<double>::quiet_NaN()));
}

}  // namespace
}  // namespace phasefit::driver
