"""DLLs planted where an unelevated user can write (beside the downloaded installer, in the
folder it is started from) must never be loaded by the elevated installer; and the program
imports nothing the loader would look for beside it."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest

from tests.support import e2e
from tests.support import installer_site as site
from tests.support import packages
from tests.support import wine_harness as wh

# DLLs that the installer or the system code it calls loads by name and that are not
# KnownDLLs, so Windows looks for them in the program's folder first.
PLANTED = ["winhttp", "version", "uxtheme", "bcrypt", "crypt32", "secur32", "dnsapi",
           "iphlpapi", "netapi32", "schannel"]

# Windows' KnownDLLs (HKLM\SYSTEM\CurrentControlSet\Control\Session Manager\KnownDLLs, plus
# ntdll, which is always loaded from the system folder): the loader takes these from the
# system folder whatever the search order. winhttp is not one of them.
KNOWN_DLLS = {
    "advapi32", "clbcatq", "combase", "comdlg32", "coml2", "difxapi", "gdi32", "gdiplus",
    "imagehlp", "imm32", "kernel32", "msctf", "msvcrt", "normaliz", "nsi", "ntdll", "ole32",
    "oleaut32", "psapi", "rpcrt4", "sechost", "setupapi", "shcore", "shell32", "shlwapi",
    "user32", "wldap32", "ws2_32",
}


def support_program(name):
    return os.path.join(wh.BUILD_DIR, "tests", "support", name)


def imported_dlls(program):
    """The DLLs in program's import table, lower case, without ".dll"."""
    dump = subprocess.run([os.environ.get("QUORVALENT_OBJDUMP") or "i686-w64-mingw32-objdump", "-p", program],
                          check=True, stdout=subprocess.PIPE, text=True).stdout
    # Only the import table: a delay-loaded DLL is loaded by the program's own code.
    table = dump.split("The Import Tables", 1)[1].split("\nThe ", 1)[0]
    return {re.sub(r"\.dll$", "", name.lower()) for name in re.findall(r"DLL Name: (\S+)", table)}


class PlantedDlls(unittest.TestCase):
    def setUp(self):
        site.reset_machine()
        self.folder = tempfile.mkdtemp(prefix="quorvalent-planted-")
        self.downloads = os.path.join(self.folder, "Downloads")  # the installer and DLLs
        self.start_folder = os.path.join(self.folder, "start")  # the current folder, DLLs
        self.markers = os.path.join(self.folder, "markers")
        for folder in (self.downloads, self.start_folder, self.markers):
            os.makedirs(folder)
            if folder != self.markers:
                for name in PLANTED:
                    shutil.copy(support_program("marker.dll"), os.path.join(folder, name + ".dll"))
        self.installer = shutil.copy(wh.installer_exe(), self.downloads)
        self.probe = shutil.copy(support_program("load_probe.exe"), self.downloads)
        self.env = {
            "WINEDLLOVERRIDES": ";".join(["mscoree=", "mshtml=", "winemenubuilder.exe=d"]
                                         + [name + "=n,b" for name in PLANTED]),
            "QUORVALENT_MARKER_DIR": wh.windows_path(self.markers),
            "QUORVALENT_SETUP_SECONDS": "0.2",
            "QUORVALENT_SETUP_INSTALL": site.RUNTIME_32,
        }

    def tearDown(self):
        site.reset_machine()
        shutil.rmtree(self.folder, ignore_errors=True)

    def loaded(self):
        """The planted DLLs that ran, each with the lines its DllMain wrote."""
        found = {}
        for name in sorted(os.listdir(self.markers)):
            with open(os.path.join(self.markers, name), encoding="utf-8") as f:
                found[name[:-len(".dll.loaded")].lower()] = f.read()
            os.remove(os.path.join(self.markers, name))
        return found

    def plant_only_what_wine_leaves_alone(self):
        """Takes away the planted DLLs that Wine's own DLLs load even for a program that does
        all it can. Call it with the release site up.

        Windows resolves a KnownDLL's own imports in the system folder; Wine looks for them in
        the program's folder first, while the process starts and before the program's first
        line can restrict anything (Wine's user32 imports version.dll). Wine's WinHTTP also
        resolves its delayed imports without the process's search restriction (crypt32.dll),
        and a planted one without its functions would break any HTTPS request. Both are
        measured with the probe: the program's KnownDLL imports loaded from the installer's
        folder, then an HTTPS request through the system's WinHTTP with the search restricted
        to the system folder; again after each round's finds are taken away, since a real DLL
        in a planted one's place loads further ones (crypt32.dll loads bcrypt.dll)."""
        known = [name + ".dll" for name in sorted(imported_dlls(self.installer) & KNOWN_DLLS)]
        https_get = ["--system-folder-only", "--https-get", "localhost",
                     str(site.release_base().port), "/"]
        while True:
            self.run_from_downloads(self.probe, *known)
            self.run_from_downloads(self.probe, *https_get)
            pulled_in = set(self.loaded())
            if not pulled_in:
                return
            self.assertNotIn("winhttp", pulled_in, "the program's own load must stay tested")
            for name in pulled_in:
                for folder in (self.downloads, self.start_folder):
                    os.remove(os.path.join(folder, name + ".dll"))

    def run_from_downloads(self, exe, *args):
        run = e2e.run_installer(*args, exe=exe, cwd=self.start_folder, env=self.env)
        self.output = run.output
        return run.returncode

    def test_the_planted_dlls_are_loadable_so_their_absence_means_something(self):
        # Without this, a marker that cannot load (a wrong override, a broken DLL) would make
        # the tests below pass for nothing; and a restricted search must really avoid them.
        names = [name + ".dll" for name in PLANTED]
        for label, args, expected in [
            ("default search", names, PLANTED),
            ("system folder only", ["--system-folder-only"] + names, []),
        ]:
            with self.subTest(label):
                self.assertEqual(self.run_from_downloads(self.probe, *args), 0, self.output)
                self.assertEqual(sorted(self.loaded()), sorted(expected), self.output)

    def test_installation_loads_no_planted_dll(self):
        with site.ReleaseSite() as release:
            release.publish_app()
            release.publish_runtime()
            self.plant_only_what_wine_leaves_alone()
            code = self.run_from_downloads(self.installer, "--no-pause")
        self.assertEqual(self.loaded(), {}, self.output)
        self.assertEqual(code, 0, self.output)
        self.assertIn("HOÀN TẤT", self.output)

    def test_network_self_test_loads_no_planted_dll(self):
        safe, unsafe = packages.make_self_test_archives(self.folder)
        with site.ReleaseSite() as release:
            release.publish_runtime()
            self.plant_only_what_wine_leaves_alone()
            code = self.run_from_downloads(self.installer, "--self-test", wh.windows_path(safe),
                                           wh.windows_path(unsafe), "--network-self-test")
        self.assertEqual(self.loaded(), {}, self.output)
        self.assertEqual(code, 0, self.output)
        self.assertIn("SELF-TEST OK", self.output)


class Imports(unittest.TestCase):
    def test_program_imports_only_known_dlls(self):
        imported = imported_dlls(wh.installer_exe())
        self.assertIn("kernel32", imported)  # the table was read at all
        self.assertEqual(imported - KNOWN_DLLS, set())


if __name__ == "__main__":
    unittest.main()
