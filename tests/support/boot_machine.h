// A machine image with boot drives, ARC links and a system root, for the boot menu tests.
#pragma once

#include <string>
#include <string_view>

#include "tests/support/image_builder.h"
#include "tests/support/machine_files.h"

namespace halshift::testing {

inline constexpr std::string_view kRunningArcPath = "multi(0)disk(0)rdisk(0)partition(1)\\WINNT";
inline constexpr std::string_view kOtherPartitionArcPath =
    "multi(0)disk(0)rdisk(0)partition(2)\\WINNT";

// A BOOT.INI as Setup writes it, CR LF line ends.
inline constexpr std::string_view kSetupBootIni =
    "[boot loader]\r\n"
    "timeout=30\r\n"
    "default=multi(0)disk(0)rdisk(0)partition(1)\\WINNT\r\n"
    "[operating systems]\r\n"
    "multi(0)disk(0)rdisk(0)partition(1)\\WINNT=\"Windows NT Server Version 4.00\"\r\n"
    "multi(0)disk(0)rdisk(0)partition(1)\\WINNT=\"Windows NT Server Version 4.00 [VGA mode]\" "
    "/basevideo /sos\r\n"
    "C:\\=\"MS-DOS\"\r\n";

// Writes machine.ini with the drives given as "A=removable\r\nC=fixed\r\n...", the ARC links
// of partitions 1 and 2 of disk 0, C: on partition 1, E: on partition 2, and a registry with
// the system root (as the registry holds it, unescaped).
inline void WriteBootMachine(TempImage& image, std::string_view drives = "C=fixed\r\nD=cdrom\r\n",
                             std::string_view systemRoot = "C:\\WINNT") {
  image.WriteImageFile(
      "machine.ini",
      IniText({{"System", Nt4SystemLines()}, {"Drives", {}}}) + std::string(drives) +
          IniText({{"ArcNames",
                    {"multi(0)disk(0)rdisk(0)partition(1)=\\Device\\Harddisk0\\Partition1",
                     "multi(0)disk(0)rdisk(0)partition(2)=\\Device\\Harddisk0\\Partition2"}},
                   {"DosDevices",
                    {"C:=\\Device\\Harddisk0\\Partition1", "D:=\\Device\\CdRom0",
                     "E:=\\Device\\Harddisk0\\Partition2"}}}));
  image.WriteImageFile("registry.reg", CurrentVersionRegistry("Uniprocessor Free", systemRoot));
  image.MakeDriveDirectory("C:\\WINNT\\System32");
}

// Puts the three loader files in the root of the drive; BOOT.INI holds bootIni.
inline void WriteLoaderFiles(TempImage& image, char letter, std::string_view bootIni) {
  const std::string root = std::string(1, letter) + ":\\";
  image.WriteDriveFile(root + "BOOT.INI", bootIni);
  image.WriteDriveFile(root + "NTDETECT.COM", "ntdetect");
  image.WriteDriveFile(root + "NTLDR", "ntldr");
}

}  // namespace halshift::testing
