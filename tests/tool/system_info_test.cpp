// System information on this system, and PE files built by the test: machine
// types, version resources and damaged headers.
#include <sys/utsname.h>

#include <array>
#include <optional>

#include <gtest/gtest.h>

#include "tool/log_capture.h"
#include "support/test_support.h"
#include "tool/system_info.h"

namespace {

using namespace tool;
using qel::test::TempDir;
using qel::test::writeFile;

void Put16(std::string& image, std::size_t at, uint32_t value) {
  if (image.size() < at + 2) image.resize(at + 2);
  image[at] = static_cast<char>(value & 0xFF);
  image[at + 1] = static_cast<char>((value >> 8) & 0xFF);
}

void Put32(std::string& image, std::size_t at, uint32_t value) {
  Put16(image, at, value & 0xFFFF);
  Put16(image, at + 2, value >> 16);
}

// A minimal PE image: DOS header, PE header, optional header and, with a
// version, one .rsrc section holding RT_VERSION/1/0x409 -> VS_VERSIONINFO.
std::string BuildPe(uint16_t machine, bool pe32plus, std::optional<std::array<uint16_t, 4>> version) {
  std::string image(0x40, '\0');
  image[0] = 'M';
  image[1] = 'Z';
  Put32(image, 0x3C, 0x40);
  Put32(image, 0x40, 0x00004550);
  const std::size_t coff = 0x44;
  const uint32_t optional_size = pe32plus ? 240 : 224;
  Put16(image, coff, machine);
  Put16(image, coff + 2, version ? 1 : 0);
  Put16(image, coff + 16, optional_size);
  const std::size_t optional = coff + 20;
  Put16(image, optional, pe32plus ? 0x20B : 0x10B);
  const std::size_t count_at = optional + (pe32plus ? 108 : 92);
  const std::size_t directories = optional + (pe32plus ? 112 : 96);
  Put32(image, count_at, 16);
  image.resize(optional + optional_size, '\0');
  if (!version) return image;

  std::string rsrc(0x58, '\0');
  Put16(rsrc, 0x0E, 1);
  Put32(rsrc, 0x10, 16);
  Put32(rsrc, 0x14, 0x80000000u | 0x18);
  Put16(rsrc, 0x18 + 0x0E, 1);
  Put32(rsrc, 0x18 + 0x10, 1);
  Put32(rsrc, 0x18 + 0x14, 0x80000000u | 0x30);
  Put16(rsrc, 0x30 + 0x0E, 1);
  Put32(rsrc, 0x30 + 0x10, 0x409);
  Put32(rsrc, 0x30 + 0x14, 0x48);
  const uint32_t info_size = 40 + 52;
  Put32(rsrc, 0x48, 0x1000 + 0x58);
  Put32(rsrc, 0x4C, info_size);
  std::string info(info_size, '\0');
  Put16(info, 0, info_size);
  Put16(info, 2, 52);
  const char key[] = "VS_VERSION_INFO";
  for (std::size_t i = 0; i < sizeof key; ++i) Put16(info, 6 + i * 2, static_cast<unsigned char>(key[i]));
  Put32(info, 40, 0xFEEF04BD);
  Put32(info, 44, 0x10000);
  Put32(info, 48, static_cast<uint32_t>((*version)[0]) << 16 | (*version)[1]);
  Put32(info, 52, static_cast<uint32_t>((*version)[2]) << 16 | (*version)[3]);
  rsrc += info;

  Put32(image, directories + 2 * 8, 0x1000);
  Put32(image, directories + 2 * 8 + 4, static_cast<uint32_t>(rsrc.size()));
  const std::size_t section = image.size();
  image.resize(section + 40, '\0');
  image.replace(section, 5, ".rsrc");
  Put32(image, section + 8, static_cast<uint32_t>(rsrc.size()));
  Put32(image, section + 12, 0x1000);
  Put32(image, section + 16, static_cast<uint32_t>(rsrc.size()));
  Put32(image, section + 20, 0x200);
  image.resize(0x200, '\0');
  return image + rsrc;
}

class SystemInfoTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& bytes) {
    writeFile(dir_.file(name), bytes);
    return dir_.file(name);
  }
  TempDir dir_;
};

TEST_F(SystemInfoTest, WindowsVersionQueriesHaveNoAnswerHere) {
  EXPECT_EQ(GetOSVersion(), "Unknown Windows Version");
  EXPECT_FALSE(IsWindows10OrGreater());
  EXPECT_FALSE(IsWindows8Point1OrGreater());
  EXPECT_FALSE(IsWindows8OrGreater());
  EXPECT_EQ(GetWin10BuildVersion(), "");
  EXPECT_EQ(GetWin10ReleaseId(), "");
  EXPECT_FALSE(IsWow64());
}

TEST_F(SystemInfoTest, ArchitectureOfThisMachine) {
  utsname names{};
  ASSERT_EQ(uname(&names), 0);
  if (std::string(names.machine) == "x86_64") {
    EXPECT_EQ(GetProcessArchitecture(), "x64");
  }
  EXPECT_FALSE(GetProcessArchitecture().empty());
}

TEST_F(SystemInfoTest, MachineTypes) {
  struct Case {
    uint16_t machine;
    bool pe32plus;
    bool is64;
  };
  for (Case c : {Case{0x8664, true, true}, Case{0x200, true, true}, Case{0x14C, false, false},
                 Case{0xAA64, true, false}, Case{0, false, false}}) {
    EXPECT_EQ(UnmanagedDllIs64Bit(Write("image.dll", BuildPe(c.machine, c.pe32plus, std::nullopt))), c.is64)
        << c.machine;
  }
}

TEST_F(SystemInfoTest, FilesWithoutAPeHeader) {
  tool_test::LogCapture log;
  // Text read as a header offset points far beyond the file.
  EXPECT_FALSE(UnmanagedDllIs64Bit(Write("text.txt", std::string(200, 'x'))));
  EXPECT_TRUE(log.contains("GetDllMachineType peOffset 2021161080, size 200"));
  std::string unsigned_image = BuildPe(0x8664, true, std::nullopt);
  unsigned_image.replace(0x40, 2, "NE");
  EXPECT_FALSE(UnmanagedDllIs64Bit(Write("not_pe", unsigned_image)));
  EXPECT_TRUE(log.contains("Can't find PE header"));
  EXPECT_FALSE(UnmanagedDllIs64Bit(Write("empty", "")));
  EXPECT_FALSE(UnmanagedDllIs64Bit(dir_.file("missing")));
  EXPECT_FALSE(UnmanagedDllIs64Bit(Write("short", "MZ")));

  std::string negative = BuildPe(0x8664, true, std::nullopt);
  Put32(negative, 0x3C, 0x80000000u);
  EXPECT_FALSE(UnmanagedDllIs64Bit(Write("negative", negative)));
  EXPECT_TRUE(log.contains("GetDllMachineType peOffset -2147483648, size " + std::to_string(negative.size())));
  std::string beyond = BuildPe(0x8664, true, std::nullopt);
  Put32(beyond, 0x3C, 0x7FFFFFFFu);
  EXPECT_FALSE(UnmanagedDllIs64Bit(Write("beyond", beyond)));
  EXPECT_TRUE(log.contains("GetDllMachineType peOffset 2147483647"));
  // The signature fits, the machine field does not.
  std::string cut = BuildPe(0x8664, true, std::nullopt).substr(0, 0x45);
  EXPECT_FALSE(UnmanagedDllIs64Bit(Write("cut", cut)));
  EXPECT_TRUE(log.contains("GetDllMachineType peOffset 64, size 69"));
}

TEST_F(SystemInfoTest, VersionResource) {
  for (bool pe32plus : {true, false}) {
    const std::string path =
        Write("versioned.dll", BuildPe(pe32plus ? 0x8664 : 0x14C, pe32plus, std::array<uint16_t, 4>{1, 2, 3, 4}));
    EXPECT_EQ(GetWindowsFileVersionInfoReutrnString(path), "1.2.3.4");
    EXPECT_EQ(GetWindowsFileVersionInfoReturnUint64(path), 0x0001000200030004u);
  }
  const std::string big = Write("big.dll", BuildPe(0x8664, true, std::array<uint16_t, 4>{65535, 0, 10, 19045}));
  EXPECT_EQ(GetWindowsFileVersionInfoReutrnString(big), "65535.0.10.19045");
  const std::string plain = Write("plain.dll", BuildPe(0x8664, true, std::nullopt));
  EXPECT_EQ(GetWindowsFileVersionInfoReutrnString(plain), "Unknown");
  EXPECT_EQ(GetWindowsFileVersionInfoReturnUint64(plain), 0u);
  EXPECT_EQ(GetWindowsFileVersionInfoReutrnString(dir_.file("missing")), "Unknown");
}

TEST_F(SystemInfoTest, DamagedResourceTablesGiveNoVersion) {
  const std::string good = BuildPe(0x8664, true, std::array<uint16_t, 4>{1, 2, 3, 4});
  const std::size_t rsrc = 0x200;
  struct Damage {
    std::size_t at;
    uint32_t value;
  };
  // Offsets and sizes pointing far outside the file, wrapping around 32 bits.
  for (Damage d :
       {Damage{rsrc + 0x14, 0xFFFFFFFFu}, Damage{rsrc + 0x48, 0xFFFFFFF0u}, Damage{rsrc + 0x4C, 0xFFFFFFFFu},
        Damage{rsrc + 0x10, 3}, Damage{0x44 + 16, 0xFFFF}, Damage{0x44 + 2, 0xFFFF}, Damage{rsrc + 0x58 + 40, 0}}) {
    std::string image = good;
    if (d.value > 0xFFFF || d.at == rsrc + 0x58 + 40) {
      Put32(image, d.at, d.value);
    } else {
      Put16(image, d.at, d.value);
    }
    EXPECT_EQ(GetWindowsFileVersionInfoReutrnString(Write("damaged.dll", image)), "Unknown") << d.at;
  }
}

}  // namespace
