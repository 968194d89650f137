# Finding an installed library (the Debian packages' layout) without MERVANE_LIBRARY: the versioned
# libmervane.so.1 in the system's library folders, its emulator in the mervane/ folder beside it.
import os

import pytest

from mervane import _native


@pytest.fixture
def system(monkeypatch, tmp_path):
    """Four empty library folders standing for /usr/local/lib/<multiarch>, /usr/local/lib,
    /usr/lib/<multiarch> and /usr/lib; no variable and no checkout build folder in the way."""
    monkeypatch.delenv("MERVANE_LIBRARY", raising=False)
    monkeypatch.delenv("MERVANE_D2XX_LIBRARY", raising=False)
    monkeypatch.setattr(_native, "_CHECKOUT_BUILD", tmp_path / "no-checkout")
    monkeypatch.setattr(_native, "_PACKAGE_DIR", tmp_path / "site" / "mervane")
    dirs = [tmp_path / name for name in ("local-arch", "local", "usr-arch", "usr")]
    for folder in dirs:
        folder.mkdir()
    monkeypatch.setattr(_native, "SYSTEM_LIBRARY_DIRS", [str(folder) for folder in dirs])
    return dirs


def install(folder, emulator=True):
    """Lays out a package's files: the real file, the soname link, the private emulator."""
    (folder / "libmervane.so.1.0.1").write_bytes(b"\x7fELF")
    os.symlink("libmervane.so.1.0.1", folder / "libmervane.so.1")
    if emulator:
        (folder / "mervane").mkdir()
        (folder / "mervane" / "libmervane-boxsim.so").write_bytes(b"\x7fELF")


@pytest.mark.parametrize("where", [0, 1, 2, 3])
def test_installed_library_found_in_each_system_folder(system, where):
    install(system[where])
    found = _native.find_library()
    assert found == str(system[where] / "libmervane.so.1")
    assert _native.find_emulator(found) == str(system[where] / "mervane" / "libmervane-boxsim.so")


def test_local_installation_comes_before_the_system_one(system):
    install(system[2])
    install(system[1])
    assert _native.find_library() == str(system[1] / "libmervane.so.1")


def test_emulator_of_another_installation_is_not_taken(system):
    install(system[0], emulator=False)
    install(system[2])
    found = _native.find_library()
    assert found == str(system[0] / "libmervane.so.1")
    assert _native.find_emulator(found) is None


def test_a_checkout_build_still_wins_over_an_installed_library(system, tmp_path, monkeypatch):
    install(system[2])
    build = tmp_path / "checkout-build"
    build.mkdir()
    (build / "libmervane.so").write_bytes(b"\x7fELF")
    monkeypatch.setattr(_native, "_CHECKOUT_BUILD", build)
    assert _native.find_library() == str(build / "libmervane.so")


def test_nothing_installed_leaves_the_bare_name_to_the_loader(system):
    assert _native.find_library() == "libmervane.so"
    assert _native.find_emulator("libmervane.so") is None


@pytest.mark.parametrize("multiarch, expected", [
    ("x86_64-linux-gnu", ["/usr/local/lib/x86_64-linux-gnu", "/usr/local/lib", "/usr/lib/x86_64-linux-gnu", "/usr/lib"]),
    ("", ["/usr/local/lib", "/usr/lib"]),
    (None, ["/usr/local/lib", "/usr/lib"]),
])
def test_system_folders_follow_the_interpreters_multiarch(monkeypatch, multiarch, expected):
    monkeypatch.setattr(_native.sysconfig, "get_config_var", lambda name: multiarch if name == "MULTIARCH" else None)
    assert _native._system_library_dirs() == expected
