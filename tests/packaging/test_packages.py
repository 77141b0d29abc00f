"""The Debian packages that cpack makes from this (optimised) build pass the distribution's checks.

cpack builds corvex-studio and corvex-service; lintian finds no error or warning in them (the
waivers are in packaging/lintian-overrides, each with its reason); desktop-file-validate and
appstreamcli accept the desktop entry and the metainfo; both packages are installed with dpkg
into a scratch root, where every installed program answers --version with the package's
version, and the manual pages, completions, icons and unit are where the system looks for them.

    CORVEX_BUILD_DIR=build/opt CORVEX_SOURCE_DIR=. python3 test_packages.py
"""

import glob
import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

BUILD = os.environ.get("CORVEX_BUILD_DIR", "")
SOURCE = os.environ.get("CORVEX_SOURCE_DIR", "")
TOOLS = ["cpack", "dpkg", "dpkg-deb", "lintian", "desktop-file-validate", "appstreamcli", "man", "pkg-config", "zsh"]
PACKAGES = ["corvex-studio", "corvex-service"]


def run(*command, **options):
    return subprocess.run(command, capture_output=True, text=True, **options)


class Packages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        missing = [tool for tool in TOOLS if not shutil.which(tool)]
        if missing:
            reason = f"the package checks need {', '.join(missing)}: run scripts/install-deps test"
            # In CI the test set is installed, so a missing tool is a fault there.
            if os.environ.get("CI"):
                raise AssertionError(reason)
            raise unittest.SkipTest(reason)
        cls.scratch = tempfile.TemporaryDirectory(prefix="corvex-packages-")
        made = run("cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", cls.scratch.name, cwd=BUILD)
        assert made.returncode == 0, made.stdout + made.stderr
        cls.debs = {}
        for deb in glob.glob(os.path.join(cls.scratch.name, "*.deb")):
            cls.debs[run("dpkg-deb", "--field", deb, "Package").stdout.strip()] = deb
        assert sorted(cls.debs) == sorted(PACKAGES), f"cpack made {sorted(cls.debs)}"
        # A scratch root with a dpkg database of its own: dpkg installs the packages there as it
        # would on a machine (their dependencies are this machine's and are not checked there).
        cls.root = os.path.join(cls.scratch.name, "root")
        admin = os.path.join(cls.root, "var/lib/dpkg")
        for folder in ("info", "updates", "triggers"):
            os.makedirs(os.path.join(admin, folder))
        open(os.path.join(admin, "status"), "w").close()
        installed = run("dpkg", f"--root={cls.root}", "--force-not-root", "--force-depends",
                        "--force-script-chrootless", "--install", *cls.debs.values())
        assert installed.returncode == 0, installed.stdout + installed.stderr

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def installed(self, package):
        """The files dpkg installed for the package, as paths on the target system."""
        listing = run("dpkg", f"--root={self.root}", "--listfiles", package)
        self.assertEqual(listing.returncode, 0, listing.stderr)
        return [path for path in listing.stdout.split() if os.path.isfile(self.root + path)]

    def test_lintian_finds_nothing_that_matters(self):
        for package, deb in self.debs.items():
            with self.subTest(package=package):
                result = run("lintian", "--fail-on", "error,warning", "--display-level", ">=warning", deb)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_desktop_entry_and_metainfo_validate(self):
        entry = self.root + "/usr/share/applications/app.corvex.Studio.desktop"
        result = run("desktop-file-validate", entry)
        self.assertEqual((result.returncode, result.stdout), (0, ""), result.stderr)
        metainfo = self.root + "/usr/share/metainfo/app.corvex.Studio.metainfo.xml"
        result = run("appstreamcli", "validate", "--no-net", "--explain", metainfo)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_programs_report_the_package_version(self):
        # With no display, as on a server or over ssh.
        environment = {key: value for key, value in os.environ.items() if key not in ("DISPLAY", "WAYLAND_DISPLAY")}
        for package, deb in self.debs.items():
            version = run("dpkg-deb", "--field", deb, "Version").stdout.strip()
            self.assertRegex(version, r"^\d+\.\d+\.\d+\+git\d{8}\.[0-9a-f]{12}(\.modified)?$")
            programs = [path for path in self.installed(package) if path.startswith("/usr/bin/")]
            self.assertTrue(programs, package)
            for program in programs:
                with self.subTest(program=program):
                    result = run(self.root + program, "--version", env=environment)
                    self.assertEqual((result.returncode, result.stdout.strip()),
                                     (0, f"{os.path.basename(program)} {version}"), result.stderr)
        # corvex finds the command modules it loads where the package put them.
        result = run(self.root + "/usr/bin/corvex", "inspect", "--help", env=environment)
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_pages_completions_icons_and_unit_are_where_the_system_looks(self):
        bash_folder = run("pkg-config", "--variable=completionsdir", "bash-completion").stdout.strip()
        zsh_folders = run("zsh", "-fc", "print -l $fpath").stdout.split()
        files = {path for package in PACKAGES for path in self.installed(package)}
        programs = [os.path.basename(path) for path in files if path.startswith("/usr/bin/")]
        for program in programs:
            with self.subTest(program=program):
                self.assertIn(f"{bash_folder}/{program}", files)
                self.assertTrue(any(f"{folder}/_{program}" in files for folder in zsh_folders))
        # A page for every program and every command of corvex (corvex-record …), found by man.
        pages = {os.path.basename(path)[: -len(".1.gz")] for path in files if path.startswith("/usr/share/man/man1/")}
        self.assertLessEqual(set(programs), pages)
        self.assertGreater(len(pages), 10)
        for page in pages:
            found = run("man", "--manpath", f"{self.root}/usr/share/man", "--where", page)
            self.assertEqual(found.returncode, 0, found.stderr)
        icons = "/usr/share/icons/hicolor"
        self.assertIn(f"{icons}/scalable/apps/app.corvex.Studio.svg", files)
        for size in (16, 22, 24, 32, 48, 64, 128, 256, 512):
            with open(f"{self.root}{icons}/{size}x{size}/apps/app.corvex.Studio.png", "rb") as png:
                self.assertEqual(struct.unpack(">II", png.read(24)[16:24]), (size, size))
        self.assertIn("/usr/lib/systemd/system/corvex-service.service", files)

    def test_metainfo_agrees_with_the_changelog_and_the_screenshots(self):
        with open(os.path.join(SOURCE, "CHANGELOG.md"), encoding="utf-8") as file:
            changelog = re.findall(r"^## \[([^\]]+)\] - (\d{4}-\d{2}-\d{2})$", file.read(), re.M)
        metainfo = ElementTree.parse(os.path.join(SOURCE, "resources/app.corvex.Studio.metainfo.xml"))
        releases = [(release.get("version"), release.get("date")) for release in metainfo.iter("release")]
        self.assertEqual(releases, changelog)
        # Its screenshots are pictures the studio's screenshot test takes, wide enough for software centres.
        screenshots = [os.path.basename(image.text) for image in metainfo.iter("image")]
        self.assertTrue(screenshots)
        for name in screenshots:
            with open(os.path.join(os.environ["CORVEX_SCREENSHOTS"], name), "rb") as png:
                self.assertGreaterEqual(struct.unpack(">I", png.read(24)[16:20])[0], 620, name)


if __name__ == "__main__":
    unittest.main(verbosity=2)
