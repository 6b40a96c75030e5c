#!/usr/bin/env python3
"""Runs a GCC link command with ld.lld in place of the linker GCC would run.

    link_with_lld.py LD_LLD GCC_DRIVER ARGS...

Debian's mingw-w64 GCC calls GNU ld by its full path and ignores -fuse-ld and -B. GNU ld
keeps every .eh_frame section and, through them, whole members of the static C++ library,
so --gc-sections cannot trim the locale code that the first stream pulls in; ld.lld can.

The driver still decides what gets linked: `GCC_DRIVER -### ARGS...` prints the linker
command it would run (start-up objects, library search paths, the static runtime libraries
in order) without running anything. That command, minus the options meant for GCC's LTO
plugin, is handed to ld.lld unchanged; ld.lld picks its MinGW mode from `-m i386pe`.
"""

import os
import shlex
import subprocess
import sys

LINKER_NAMES = ("collect2", "ld", "ld.bfd")


def split_driver_line(line):
    """Splits a command as `-###` prints it: bare words, or words in double quotes in which a
    backslash escapes the next character (GCC escapes ", \\ and $ there;
    shlex would keep the backslash before $)."""
    args = []
    at, end = 0, len(line)
    while at < end:
        if line[at] == " ":
            at += 1
        elif line[at] == '"':
            word = []
            at += 1
            while at < end and line[at] != '"':
                if line[at] == "\\" and at + 1 < end:
                    at += 1
                word.append(line[at])
                at += 1
            args.append("".join(word))
            at += 1
        else:
            space = line.find(" ", at)
            space = end if space < 0 else space
            args.append(line[at:space])
            at = space
    return args


def linker_command(driver_output):
    """The last command line in `-###` output that runs the linker, as a list of arguments."""
    found = None
    for line in driver_output.splitlines():
        # Commands are the lines that start with a space; the rest is the driver's chatter.
        if not line.startswith(" "):
            continue
        args = split_driver_line(line)
        name = os.path.basename(args[0]) if args else ""
        if name in LINKER_NAMES or name.endswith("-ld"):
            found = args
    return found


def expand_response_files(args):
    """Inlines @FILE arguments. Given any, the driver would hand its linker a temporary
    response file of its own, which a dry run never writes."""
    expanded = []
    for arg in args:
        if arg.startswith("@") and os.path.isfile(arg[1:]):
            with open(arg[1:], encoding="utf-8") as response:
                expanded.extend(expand_response_files(shlex.split(response.read())))
        else:
            expanded.append(arg)
    return expanded


def without_plugin_options(args):
    kept = []
    skip_next = False
    for arg in args:
        if skip_next:
            skip_next = False
        elif arg == "-plugin":
            skip_next = True
        elif not arg.startswith("-plugin-opt="):
            kept.append(arg)
    return kept


def main(argv):
    if len(argv) < 3:
        sys.stderr.write("usage: link_with_lld.py LD_LLD GCC_DRIVER ARGS...\n")
        return 2
    lld, driver, driver_args = argv[1], argv[2], expand_response_files(argv[3:])
    dry_run = subprocess.run([driver, "-###", *driver_args], stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                             check=False)
    if dry_run.returncode != 0:
        sys.stderr.write(dry_run.stdout)
        return dry_run.returncode
    command = linker_command(dry_run.stdout)
    if command is None:
        sys.stderr.write("link_with_lld.py: %s -### printed no linker command:\n%s"
                         % (driver, dry_run.stdout))
        return 1
    return subprocess.run([lld, *without_plugin_options(command[1:])], check=False).returncode


if __name__ == "__main__":
    sys.exit(main(sys.argv))
