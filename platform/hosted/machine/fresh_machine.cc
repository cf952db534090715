#include "platform/hosted/machine/fresh_machine.h"

namespace brindle {

std::string_view FreshRegistryText() {
  return R"reg(REGEDIT4

[HKEY_LOCAL_MACHINE\Enum\Root\*PNP0C01\0000]
"DeviceDesc"="System board"
"Class"="System"
"HardwareID"="*PNP0C01"
"Driver"="System\\0000"

[HKEY_LOCAL_MACHINE\Enum\USB\ROOT_HUB\PCI&VEN_8086&DEV_7112&FUNC_0002]
"DeviceDesc"="USB Root Hub"
"Class"="USB"
"HardwareID"="USB\\ROOT_HUB"
"Mfg"="(Standard USB Host Controller)"
"Driver"="USB\\0001"

[HKEY_LOCAL_MACHINE\Enum\USB\VID_046D&PID_C00E\5&2A3B4C5D&0&1]
"DeviceDesc"="USB Human Interface Device"
"Class"="HID"
"HardwareID"="USB\\VID_046D&PID_C00E&REV_1100,USB\\VID_046D&PID_C00E"
"Mfg"="(Standard system devices)"
"Driver"="HID\\0000"

[HKEY_LOCAL_MACHINE\Enum\SCSI\GENERIC_CD-ROM_DRIVE____1.00\PCI&VEN_8086&DEV_7111&BUS_01&DEV_00&LUN_00]
"DeviceDesc"="GENERIC CD-ROM DRIVE"
"Class"="CDROM"
"HardwareID"="SCSI\\GENERIC_CD-ROM_DRIVE____1.00,GENERIC_CD-ROM_DRIVE____1.00"
"Driver"="CDROM\\0000"

[HKEY_LOCAL_MACHINE\Enum\HID\VID_046D&PID_C00E\6&1F2E3D4C&0&0000]
"DeviceDesc"="HID-compliant mouse"
"Class"="Mouse"
"HardwareID"="HID\\VID_046D&PID_C00E,HID_DEVICE_SYSTEM_MOUSE"
"Driver"="Mouse\\0001"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows\CurrentVersion]
"ProductName"="Microsoft Windows 98"
"Version"="Windows 98"
"VersionNumber"="4.10.2222"
"SystemRoot"="C:\\WINDOWS"
"DevicePath"="C:\\WINDOWS\\INF"
"ProgramFilesDir"="C:\\Program Files"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\USB]
@="Universal serial bus controller"
"Icon"="-20"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\USB\0000]
"DriverDesc"="Intel 82371AB/EB PCI to USB Universal Host Controller"
"ProviderName"="Microsoft"
"DevLoader"="*ntkern"
"NTMPDriver"="uhcd.sys"
"DriverDate"=" 4-23-1999"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\USB\0001]
"DriverDesc"="USB Root Hub"
"ProviderName"="Microsoft"
"DevLoader"="*ntkern"
"NTMPDriver"="usbhub.sys"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\Ports]
@="Ports (COM & LPT)"
"Icon"="-23"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\Ports\0000]
"DriverDesc"="Communications Port"
"ProviderName"="Microsoft"
"PortDriver"="serial.vxd"
"Contention"="*vcd"
"PortSubClass"=hex:01

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\Ports\0001]
"DriverDesc"="ECP Printer Port"
"ProviderName"="Microsoft"
"PortDriver"="lpt.vxd"
"ECPDevice"=dword:00000001

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\SCSIAdapter]
@="SCSI controllers"
"Icon"="-10"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\HID]
@="Human Interface Devices"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\HID\0000]
"DriverDesc"="USB Human Interface Device"
"ProviderName"="Microsoft"
"DevLoader"="*ntkern"
"NTMPDriver"="hidusb.sys"
)reg";
}

}  // namespace brindle
