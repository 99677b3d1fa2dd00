#!/usr/bin/env python3
"""What Windows reads from the shipped programs, read back with pefile: the subsystem
(a window, or a console), and zelLoader.exe's icon group and version block.

    winresources.py DEPLOY_FOLDER VERSION
"""
import struct
import sys
import unittest

try:
    import pefile
except ImportError:
    print("pefile unavailable: the resource test reads the programs with it "
          "(Debian: python3-pefile)")
    sys.exit(77)

RT_ICON, RT_GROUP_ICON = 3, 14
DEPLOY, VERSION = sys.argv.pop(1), sys.argv.pop(1)


def load(name):
    return pefile.PE(f"{DEPLOY}/{name}")


def resource(pe, kind, name):
    """The data of resource `name` (a string or an id) of type `kind`, or None."""
    for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if entry.id != kind:
            continue
        for item in entry.directory.entries:
            if (str(item.name) if item.name else item.id) == name:
                data = item.directory.entries[0].data.struct
                return pe.get_data(data.OffsetToData, data.Size)
    return None


class Resources(unittest.TestCase):
    def test_subsystem(self):
        for program, subsystem in [("zelLoader.exe", "IMAGE_SUBSYSTEM_WINDOWS_GUI"),
                                   ("zelloader-cli.exe", "IMAGE_SUBSYSTEM_WINDOWS_CUI")]:
            with self.subTest(program):
                self.assertEqual(load(program).OPTIONAL_HEADER.Subsystem,
                                 pefile.SUBSYSTEM_TYPE[subsystem])

    def test_icon_group(self):
        # IDI_ICON1 holds exactly the four images at 24 bits, as the group lists them
        # and as each image's own header says (its height counts the colour image and
        # the transparency mask).
        pe = load("zelLoader.exe")
        group = resource(pe, RT_GROUP_ICON, "IDI_ICON1")
        self.assertIsNotNone(group)
        _, kind, count = struct.unpack_from("<HHH", group)
        self.assertEqual(kind, 1)
        listed, images = [], []
        for i in range(count):
            width, height, _, _, _, bits, _, ident = struct.unpack_from("<BBBBHHIH", group,
                                                                        6 + 14 * i)
            listed.append((width, height, bits))
            image = resource(pe, RT_ICON, ident)
            width, height, _, bits = struct.unpack_from("<iiHH", image, 4)
            images.append((width, height // 2, bits))
        expected = [(16, 16, 24), (32, 32, 24), (48, 48, 24), (64, 55, 24)]
        self.assertEqual(listed, expected)
        self.assertEqual(images, expected)

    def test_version_block(self):
        pe = load("zelLoader.exe")
        fixed = pe.VS_FIXEDFILEINFO[0]
        version = VERSION + ".0"

        def dotted(high, low):
            return f"{high >> 16}.{high & 0xFFFF}.{low >> 16}.{low & 0xFFFF}"

        self.assertEqual(dotted(fixed.FileVersionMS, fixed.FileVersionLS), version)
        self.assertEqual(dotted(fixed.ProductVersionMS, fixed.ProductVersionLS), version)
        strings = {}
        for info in pe.FileInfo[0]:
            for table in getattr(info, "StringTable", []):
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
        self.assertEqual(strings.get("FileVersion"), version)
        self.assertEqual(strings.get("ProductVersion"), version)
        self.assertEqual(strings.get("ProductName"), "zelLoader")


if __name__ == "__main__":
    unittest.main()
