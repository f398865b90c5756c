// The machine that will start an offline installation, as the command line or a virtual
// machine's configuration file describes it.
//
// May contain: the C++ standard library. No file access: callers hand in the file's text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace halshift::image {

// The most processors a description may have: each needs its own 8-bit local APIC id, and
// the I/O APIC takes the next one, below the broadcast id 0xFF.
inline constexpr unsigned kMaxProcessors = 254;

// What the offline machine that will start an installation is like.
struct MachineDescription {
  unsigned processors = 1;   // processors the machine starts
  bool apic = true;          // local APIC, I/O APIC and an MP table present
};

// Reads a VirtualBox .vbox, a VMware .vmx or a libvirt domain XML file, told apart by
// content, never by file name:
// - VirtualBox (root element <VirtualBox>): the count attribute of <CPU> under the machine's
//   <Hardware> (VirtualBox's default 1), and the enabled attribute of <IOAPIC> under it
//   (<BIOS><IOAPIC>; VirtualBox's default false). VirtualBox's BIOS writes an MP table only
//   with the I/O APIC, so that setting is the APIC flag; <APIC mode="Disabled"> (VirtualBox
//   5.1 and later; "APIC" and "X2APIC" keep them) takes the APICs away as well.
// - VMware (lines `key = "value"` with config.version, virtualHW.version or numvcpus among
//   the keys, matched without regard to case): numvcpus (VMware's default 1); a VMware
//   machine always has its APICs.
// - libvirt (root element <domain>): <vcpu>N</vcpu>, or its current="M" attribute when there
//   is one (M start); without <vcpu> the product of <cpu><topology sockets cores threads>
//   (and dies, clusters), else libvirt's default 1. The APIC flag is false only for a Xen
//   domain (type="xen") whose <features> lack <apic/>: QEMU and KVM always give an x86
//   guest its APICs, and <ioapic driver=...> only says where the I/O APIC is emulated.
// Nothing, with error set to a one-line reason, when the text is none of these, is not
// well-formed, or holds a count that is not a number from 1 to kMaxProcessors.
std::optional<MachineDescription> ReadVmConfig(std::string_view text, std::string& error);

}  // namespace halshift::image
