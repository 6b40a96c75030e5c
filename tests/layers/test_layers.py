"""Every file under src/ includes only from its own layer or below, so each layer can be read,
tested and changed without the ones above it. A folder inside a layer's folder (install/update)
is part of that layer."""

import os
import re
import unittest

SOURCE = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(
    __file__)))), "src")

# Top to bottom; folders on one line are one layer.
LAYERS = [
    {"app"},
    {"selftest"},
    {"flows"},
    {"net", "zip", "shell", "install"},
    {"console", "core"},
]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/', re.M)


def rank(folder):
    for index, layer in enumerate(LAYERS):
        if folder in layer:
            return index
    raise AssertionError("folder %s is in no layer" % folder)


def violations(source_root):
    found = []
    for folder in sorted(os.listdir(source_root)):
        path = os.path.join(source_root, folder)
        if not os.path.isdir(path):
            continue
        for inner, _, names in sorted(os.walk(path)):
            for name in sorted(names):
                if not name.endswith((".h", ".cpp")):
                    continue
                shown = os.path.relpath(os.path.join(inner, name), source_root).replace(os.sep, "/")
                with open(os.path.join(inner, name), encoding="utf-8") as f:
                    for included in INCLUDE.findall(f.read()):
                        if rank(included) < rank(folder):
                            found.append("%s includes from %s/" % (shown, included))
    return found


class Layers(unittest.TestCase):
    def test_no_file_includes_from_a_layer_above_its_own(self):
        self.assertEqual(violations(SOURCE), [])

    def test_the_check_sees_an_upward_include(self):
        import tempfile
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.join(root, "shell"))
            with open(os.path.join(root, "shell", "x.cpp"), "w", encoding="utf-8") as f:
                f.write('#include "core/errors.h"\n#include "app/release_config.h"\n')
            os.makedirs(os.path.join(root, "install", "update"))
            with open(os.path.join(root, "install", "update", "y.h"), "w", encoding="utf-8") as f:
                f.write('#include "install/x.h"\n#include "flows/package_flow.h"\n')
            self.assertEqual(violations(root), ["install/update/y.h includes from flows/",
                                                "shell/x.cpp includes from app/"])


if __name__ == "__main__":
    unittest.main()
