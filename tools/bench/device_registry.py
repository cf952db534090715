#!/usr/bin/env python3
"""A registry shaped as a Windows 9x machine's device database, independent
of brindle-genmachine: four fifths of the keys are devices under Enum (a
device key, its instance, the instance's Device Parameters), the rest
driver instances under the device classes, each with the values Windows
gives them; 2% belong to the port replicator, scattered among the rest.
Writes REGEDIT4 (CR LF) on standard output, keys in export order.

    tools/bench/device_registry.py KEYS [SEED] > registry.reg
"""
import random
import sys

ENUMERATORS = [("PCI", 20), ("USB", 35), ("HID", 20), ("SCSI", 10),
               ("ROOT", 10), ("ACPI", 5)]
CLASSES = ["Ports", "USB", "SCSIAdapter", "Net", "Display", "MEDIA", "HID",
           "Mouse", "Keyboard", "System", "hdc", "DiskDrive", "CDROM",
           "Modem", "Printer", "Monitor", "Image"]
PROVIDERS = ["Microsoft", "Intel", "3Com", "Creative Labs", "S3", "Logitech",
             "Adaptec", "Iomega", "Hewlett-Packard", "Epson"]
# The replicator's: hardware IDs by enumerator, providers by class.
OURS_IDS = {"USB": ["VID_0E7D", "VID_0C19"], "HID": ["VID_0E7D"],
            "SCSI": ["VID_0E7D", "TAV_____"]}
OURS_PROVIDERS = {"Ports": ["Tarnwick"], "USB": ["Tarnwick", "ZEL", "Velmora"],
                  "SCSIAdapter": ["ZEL"]}
ROOT = "HKEY_LOCAL_MACHINE"
CLASS_KEY = ROOT + "\\System\\CurrentControlSet\\Services\\Class"


def quoted(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


class Writer:
    def __init__(self, out):
        self.out = out
        self.keys = 0

    def key(self, path, values=()):
        lines = ["", "[" + path + "]"]
        for name, data in values:
            lines.append(quoted(name) + "=" + data)
        self.out.write("\r\n".join(lines) + "\r\n")
        self.keys += 1


def device_name(rng, enumerator, ours):
    if ours:
        head = rng.choice(OURS_IDS[enumerator])
        if head.startswith("VID_"):
            return "%s&PID_%04X" % (head, rng.randrange(0x100, 0x200))
        return head + "DISK&REV_%04d" % rng.randrange(10000)
    if enumerator == "PCI":
        return "VEN_%04X&DEV_%04X&SUBSYS_%08X&REV_%02X" % (
            rng.randrange(0x1000, 0x9000), rng.randrange(0x10000),
            rng.randrange(1 << 32), rng.randrange(256))
    if enumerator in ("USB", "HID"):
        vendor = rng.randrange(0x0400, 0x2000)
        while vendor in (0x0E7D, 0x0C19):
            vendor = rng.randrange(0x0400, 0x2000)
        return "VID_%04X&PID_%04X" % (vendor, rng.randrange(0x10000))
    if enumerator == "SCSI":
        return "DISK&VEN_%s&PROD_%s" % (
            rng.choice(["IOMEGA", "QUANTUM", "SEAGATE", "IBM", "NEC"]),
            rng.choice(["ZIP_100", "FIREBALL", "ST32122N", "DCAS-34330"]))
    return "*PNP%04X" % rng.randrange(0x10000)


def device(writer, rng, enumerator, number, ours):
    name = device_name(rng, enumerator, ours)
    path = "%s\\Enum\\%s\\%s" % (ROOT, enumerator, name)
    instance = "%s\\%d&%08X&0&%d" % (path, rng.randrange(1, 8),
                                     rng.randrange(1 << 32), number % 8)
    klass = rng.choice(CLASSES)
    writer.key(path)
    writer.key(instance, [
        ("DeviceDesc", quoted("Device %d of %s" % (number, name[:16]))),
        ("Class", quoted(klass)),
        ("HardwareID", quoted("%s\\%s" % (enumerator, name))),
        ("CompatibleIDs", quoted("%s\\CLASS_%02X" % (enumerator, number % 256))),
        ("Mfg", quoted(rng.choice(PROVIDERS))),
        ("Driver", quoted("%s\\%04d" % (klass, number % 10000))),
        ("ConfigFlags", "hex:00,00,00,00"),
        ("Capabilities", "dword:%08x" % rng.randrange(256)),
    ])
    writer.key(instance + "\\Device Parameters", [
        ("SymbolicName", quoted("\\??\\%s#%s#%d" % (enumerator, name, number))),
        ("PortName", quoted("COM%d" % (number % 9 + 1))),
    ])


def class_instance(writer, rng, klass, number, ours):
    provider = rng.choice(OURS_PROVIDERS[klass] if ours else PROVIDERS)
    writer.key("%s\\%s\\%04d" % (CLASS_KEY, klass, number), [
        ("DriverDesc", quoted("%s %s adapter %d" % (provider, klass, number))),
        ("ProviderName", quoted(provider)),
        ("DriverDate", quoted("%d-%d-199%d" % (number % 12 + 1, number % 28 + 1,
                                               number % 10))),
        ("DriverVersion", quoted("4.10.%04d" % (number % 10000))),
        ("InfPath", quoted("OEM%d.INF" % (number % 100))),
        ("InfSection", quoted("%s_Install" % klass)),
        ("MatchingDeviceId", quoted("PCI\\VEN_%04X" % (number % 0x10000))),
        ("DevLoader", quoted("*ntkern")),
    ])


def main():
    keys = int(sys.argv[1])
    rng = random.Random(int(sys.argv[2]) if len(sys.argv) > 2 else 98)
    writer = Writer(sys.stdout)
    sys.stdout.write("REGEDIT4\r\n")
    writer.key(ROOT)
    writer.key(ROOT + "\\Software\\Microsoft\\Windows\\CurrentVersion", [
        ("DevicePath", quoted("C:\\WINDOWS\\INF")),
        ("ProductName", quoted("Microsoft Windows 98"))])
    writer.key(ROOT + "\\Enum")
    weights = [weight for _, weight in ENUMERATORS]
    # Four fifths devices, three keys each, their enumerators' keys first.
    devices = {name: [] for name, _ in ENUMERATORS}
    for number in range(keys * 4 // 5 // 3):
        enumerator = rng.choices([n for n, _ in ENUMERATORS], weights)[0]
        ours = enumerator in OURS_IDS and rng.random() < 0.02 / 0.65
        devices[enumerator].append((number, ours))
    for enumerator, _ in ENUMERATORS:
        writer.key("%s\\Enum\\%s" % (ROOT, enumerator))
        for number, ours in devices[enumerator]:
            device(writer, rng, enumerator, number, ours)
    writer.key(CLASS_KEY)
    instances = {klass: 0 for klass in CLASSES}
    plan = []
    while writer.keys + len(plan) + len(CLASSES) < keys:
        klass = rng.choice(CLASSES)
        ours = klass in OURS_PROVIDERS and rng.random() < 0.02 * 17 / 3
        plan.append((klass, instances[klass], ours))
        instances[klass] += 1
    for klass in CLASSES:
        writer.key("%s\\%s" % (CLASS_KEY, klass), [("", quoted(klass))])
        for kind, number, ours in plan:
            if kind == klass:
                class_instance(writer, rng, klass, number, ours)
    sys.stdout.write("\r\n")


if __name__ == "__main__":
    main()
