"""cmake/link_with_lld.py: reading the linker command out of the GCC driver's `-###` output."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "cmake"))

import link_with_lld  # noqa: E402

CHATTER = ("Target: i686-w64-mingw32\nCOLLECT_GCC=i686-w64-mingw32-g++\n"
           "COLLECT_GCC_OPTIONS='-static' '-o' 'a.exe'\n")


class LinkerCommand(unittest.TestCase):
    def test_driver_output(self):
        cases = [
            ("collect2 line",
             CHATTER + ' /usr/lib/gcc/x/collect2 -m i386pe -Bstatic -o a.exe crt2.o a.o\n',
             ["-m", "i386pe", "-Bstatic", "-o", "a.exe", "crt2.o", "a.o"]),
            ("quoted arguments, as the driver escapes them",
             ' /usr/bin/collect2 "-lstdc++" "/b/my dir/a.o" "x\\"y" "c\\$d" "e\\\\f"\n',
             ["-lstdc++", "/b/my dir/a.o", 'x"y', "c$d", "e\\f"]),
            ("a linker called by its own name",
             ' /usr/bin/i686-w64-mingw32-ld -m i386pe a.o\n', ["-m", "i386pe", "a.o"]),
            ("the last linker line wins; other tools are not linkers",
             ' /usr/lib/gcc/x/cc1plus -quiet a.cpp\n /usr/bin/as -o a.o\n'
             ' /x/collect2 --version\n /x/collect2 -o b.exe b.o\n', ["-o", "b.exe", "b.o"]),
            ("no linker line", CHATTER + ' /usr/lib/gcc/x/cc1plus a.cpp\n', None),
        ]
        for label, output, expected in cases:
            with self.subTest(label):
                command = link_with_lld.linker_command(output)
                self.assertEqual(command[1:] if command else None, expected)

    def test_plugin_options_dropped_in_order(self):
        args = ["-plugin", "/p/liblto_plugin.so", "-plugin-opt=/p/lto-wrapper",
                "-plugin-opt=-fresolution=x.res", "-m", "i386pe",
                "-plugin-opt=-pass-through=-lgcc",
                "-o", "a.exe", "-lplugin"]
        self.assertEqual(link_with_lld.without_plugin_options(args),
                         ["-m", "i386pe", "-o", "a.exe", "-lplugin"])

    def test_response_files_inlined(self):
        with tempfile.TemporaryDirectory() as folder:
            inner = os.path.join(folder, "inner.rsp")
            outer = os.path.join(folder, "outer.rsp")
            with open(inner, "w") as f:
                f.write('-lole32 "-lshell32"\n')
            with open(outer, "w") as f:
                f.write("-lwinhttp @%s -luuid\n" % inner)
            self.assertEqual(
                link_with_lld.expand_response_files(["a.o", "@" + outer, "@missing.rsp"]),
                ["a.o", "-lwinhttp", "-lole32", "-lshell32", "-luuid", "@missing.rsp"])


if __name__ == "__main__":
    unittest.main()
