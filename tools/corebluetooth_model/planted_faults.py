"""Plants each fault below in a copy of the CoreBluetooth backend, builds it against the model
and runs the end-to-end rows: every fault must make at least one row fail."""
# /usr/bin/python3 tools/corebluetooth_model/planted_faults.py   (from the repository's root)

import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

BACKEND = "src/ble/corebluetooth/"
# fmt: off
FAULTS = [  # name, file, text, replacement
    ("peripheral not retained", "cb_peripheral.mm", "peripheral_([peripheral retain])",
     "peripheral_(peripheral)"),
    ("event bridge not retained", "cb_central_manager.mm",
     "[[NorvelCBEventBridge alloc] initWithManager:this]",
     "[[[NorvelCBEventBridge alloc] initWithManager:this] autorelease]"),
    ("unauthorized read as powered off", "cb_central_manager.mm",
     "static_cast<ManagerState>([central_ state])",
     "static_cast<ManagerState>([central_ state] == CBManagerStateUnauthorized ? 4 : "
     "[central_ state])"),
    ("16-bit UUIDs not expanded", "cb_conversions.mm", "length == 2 || length == 4", "length == 4"),
    ("error domain for its description", "cb_conversions.mm", "[error localizedDescription]",
     "[error domain]"),
    ("advertised text dropped", "cb_conversions.mm",
     "converted.emplace(name, std::string([value UTF8String]));", "(void)name;"),
    ("scan reports duplicates", "cb_central_manager.mm", "options.allowDuplicates",
     "!options.allowDuplicates"),
    ("peripheral delegate not set", "cb_peripheral.mm",
     "[peripheral_ setDelegate:delegate != nullptr ? events_ : nil];", ""),
    ("value not passed on", "cb_peripheral.mm", "bytesFrom([characteristic value])",
     "std::nullopt"),
    ("stack key of the service for a characteristic", "cb_peripheral.mm",
     "stackKeyOf(characteristic),", "stackKeyOf([characteristic service]),"),
    ("connections not cancelled", "cb_central_manager.mm",
     "[central_ cancelPeripheralConnection:peripheral];", "(void)peripheral;"),
    ("signals not ignored", "dispatch_main_queue.cpp", "std::signal(signal, SIG_IGN);", ""),
    ("deadline a tenth", "dispatch_main_queue.cpp", "delay.count() * NSEC_PER_SEC",
     "delay.count() * NSEC_PER_SEC / 10"),
]
# fmt: on


def run(*command, cwd):
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True)


def main():
    root = pathlib.Path.cwd()
    with tempfile.TemporaryDirectory() as temporary:
        copy = pathlib.Path(temporary, "repo")
        shutil.copytree(root, copy, ignore=shutil.ignore_patterns(".git", "build*"))
        build = copy / "build"
        run(
            "cmake",
            "-S",
            ".",
            "-B",
            "build",
            "-DCMAKE_CXX_COMPILER=clang++",
            "-DNORVEL_COREBLUETOOTH_MODEL=ON",
            "-DNORVEL_WERROR=ON",
            cwd=copy,
        ).check_returncode()
        uncaught = 0
        for name, file, text, replacement in FAULTS:
            path = copy / BACKEND / file
            original = path.read_text()
            assert text in original, f"{name}: {text!r} not in {file}"
            path.write_text(original.replace(text, replacement))
            built = run("cmake", "--build", "build", "-j2", "--target", "norvel-read", cwd=copy)
            tests = run("ctest", "--test-dir", str(build), "-L", "corebluetooth", "-j2", cwd=copy)
            failed = re.findall(r"corebluetooth\.(\S+) \(", tests.stdout)
            uncaught += built.returncode != 0 or not failed
            print(
                f"{name}: "
                + (
                    f'{len(failed)} rows fail: {" ".join(failed) or "NONE"}'
                    if built.returncode == 0
                    else f"does not build:\n{built.stdout[-1500:]}{built.stderr[-1500:]}"
                ),
                flush=True,
            )
            path.write_text(original)
        return 1 if uncaught else 0


if __name__ == "__main__":
    sys.exit(main())
