# SPDX-License-Identifier: MIT
"""Mutation run: small, realistic slips in the programs' code, in the
daemon's w1_slave reader and in the daemon itself, each built with
warnings as errors and run against the release build's suite (but for the
packages, the booted systems that install them, and clang-tidy, which
judge other things and take minutes; the daemon's machine only for the
daemon's slips). A slip the suite does not notice is a missing test, unless it
changes nothing a user could see: such ones are listed with the reason.

    python3 tests/mutants/run.py [NUMBER...]

It works on a copy of the tree under build/mutants, so the tree is never
left mutated, and prints each mutant with the tests that killed it.
It takes about half a minute a mutant: it is a measurement, not a test.
"""
import os
import re
import shutil
import subprocess
import sys

S, O, M, W, D, C = ("sensor/sensor.cpp", "common/output.cpp", "tempmean/tempmean.cpp",
                    "tempwatch/tempwatch.cpp", "ds18b20d/w1.cpp", "ds18b20d/ds18b20d.cpp")
R, RH = "ds18b20d/reader.cpp", "ds18b20d/reader.h"

# (file, text, replacement[, why it changes nothing a user could see]).
# The text must stand exactly once in its file.
MUTANTS = [
    (S, "sample.high << 8U | sample.low", "sample.low << 8U | sample.high"),
    (S, "sample.high << 8U | sample.low", "(sample.high << 8U) + sample.low",
     "the two bytes share no bit, so adding them is or-ing them"),
    (S, "sample.high << 8U", "sample.high << 7U"),
    (S, "static_cast<std::int16_t>(", "static_cast<std::uint16_t>("),
    (S, "reg >> 2;", "reg / 4;"),
    (S, "reg >> 2;", "reg >> 4;"),
    (S, "* 0.25F", "* 0.5F"),
    (S, "static_cast<float>(quarters) * 0.25F", "static_cast<float>(quarters / 4)"),
    (S, "O_RDONLY)", "O_RDONLY | O_NONBLOCK)"),
    (S, "O_RDONLY)", "O_RDWR)"),
    (S, "if (fd < 0)", "if (fd <= 0)"),
    (S, 'perror("open device failed\\n")', 'perror("open device failed")'),
    (S, 'perror("open device failed\\n")', 'puts("open device failed")'),
    (S, "if (got < 0) {", "if (got <= 0) {"),
    (S, 'perror("read device failed")', 'perror("read device failed\\n")'),
    (S, "if (got < static_cast<ssize_t>(sizeof bytes))", "if (got < 1)"),
    (S, "        return false;\n    }\n    sample", "        return true;\n    }\n    sample"),
    (S, 'perror("read device failed");\n        return false;',
     'perror("read device failed");\n        return true;'),
    (S, "raw_sample{bytes[0], bytes[1]}", "raw_sample{bytes[1], bytes[0]}"),
    (S, "raw_sample{bytes[0], bytes[1]}", "raw_sample{bytes[0], sample.high}"),
    (S, "report, sizeof report - 1)", "report, sizeof report)"),
    (S, "write(STDERR_FILENO", "write(STDOUT_FILENO"),
    (S, "read(fd, bytes, sizeof bytes)", "read(fd, bytes, 1)"),
    (S, "sum / static_cast<float>(count)", "sum / static_cast<float>(count + 1)"),
    (S, "return sum / static_cast<float>(count);",
     "return static_cast<float>(static_cast<double>(sum) / count);",
     "a double quotient of two floats, rounded to float, is the float "
     "quotient: double has more than twice float's precision"),
    (O, "while (size > 0) {", "if (size > 0) {"),
    (O, "        text += written;\n", ""),
    (O, "if (written < 0) {", "if (written <= 0) {",
     "write(2) returns 0 only when asked for 0 bytes, and the loop never asks"),
    (O, 'perror("write standard output failed")', 'perror("write failed")'),
    (O, "return false;", "return true;"),
    (O, "size -= static_cast<std::size_t>(written);", "size -= 1;"),
    (O, "    return true;\n}", "    return false;\n}"),
    (M, "sample_count = 20;", "sample_count = 19;"),
    (M, "pause_us = 100000;", "pause_us = 1000000;"),
    (M, "pause_us = 100000;", "pause_us = 10000;"),
    (M, "if (fd < 0)", "if (fd <= 0)"),
    (M, "return -1;", "return 1;"),
    (M, "sum += decode_sample(sample);", "sum = decode_sample(sample);"),
    (M, "            full++;\n", ""),
    (M, "        usleep(pause_us);\n", ""),
    (M, "if (full == 0)\n        return 1;", "if (full == 0)\n        return 0;"),
    (M, "i < sample_count", "i <= sample_count"),
    (M, '"%6.2f\\n"', '"%6.1f\\n"'),
    (M, '"%6.2f\\n"', '"%.2f\\n"'),
    (M, "char line[16];", "char line[8];"),
    (M, "mean_of(sum, full)", "mean_of(sum, sample_count)"),
    (M, "        return 1;\n    return 0;", "        return 0;\n    return 0;"),
    (M, "static_cast<std::size_t>(length))", "static_cast<std::size_t>(length - 1))"),
    (M, "    for (int i = 0; i < sample_count; i++) {\n        raw_sample sample = {0, 0};",
     "    raw_sample sample = {0, 0};\n    for (int i = 0; i < sample_count; i++) {",
     "a failed read is not summed, so the last sample's bytes are never used"),
    (W, "block_size = 20;", "block_size = 21;"),
    (W, "pause_us = 10000000;", "pause_us = 1000000;"),
    (W, "if (fd < 0)\n        exit(1);", "if (fd < 0)\n        exit(0);"),
    (W, "if (fd < 0)", "if (fd <= 0)"),
    (W, "        usleep(pause_us);\n", ""),
    (W, "if (++in_block == block_size)", "if (in_block++ == block_size)"),
    (W, "in_block = 0;\n        }", "in_block = 1;\n        }"),
    (W, "text[length++] = '\\n';", "text[length] = '\\n';"),
    (W, "text[length++] = '\\n';", "text[length++] = ' ';"),
    (W, '"The temperature is %6.2f\\n"', '"The temperature is %6.1f\\n"'),
    (W, "char text[48];", "char text[28];"),
    (W, "length))\n            exit(1);", "length))\n            exit(0);"),
    (W, "if (read_raw_sample(fd, sample))", "if (read_raw_sample(fd, sample) || true)"),
    (W, "raw_sample sample = {0, 0};", "raw_sample sample = {0x91, 0x01};",
     "a sample is printed only after a read filled it"),
    (D, "crc ^= 0x8CU;", "crc ^= 0x31U;"),
    (D, "w1_crc8(bytes, 8) != bytes[8]", "w1_crc8(bytes, 9) != bytes[8]"),
    (D, " || crc != bytes[8] || ", " || "),
    (D, " || memcmp(bytes, again, 9) != 0", ""),
    (D, "bytes[1] == 0x05 && bytes[6] == 0x0C", "bytes[1] == 0x05"),
    (D, "reg = w1_register{bytes[0], bytes[1]};", "reg = w1_register{bytes[1], bytes[0]};"),
    (D, "if (size == 0)\n        return w1_empty;", "if (size == 0)\n        return w1_malformed;"),
    (D, "    take(c, \"-\");\n", ""),
    (D, "return c.at > digits;", "return c.at >= digits;"),
    (D, '{"28-", "22-", "3b-"}', '{"28-", "22-", "10-"}'),
    (D, "return count > 1 ? w1_several : w1_ok;", "return w1_ok;"),
    (D, "strncmp(name, at, strcspn(at, \" \")) >= 0", "strncmp(name, at, strcspn(at, \" \")) <= 0"),
    (D, "return bus ? w1_none : w1_no_bus;", "return bus ? w1_no_bus : w1_none;"),
    (D, "prefix, sizeof prefix - 1)", "prefix, sizeof prefix)"),
    (D, "            bus = true;  // slaves make a bus, even with no master listed\n", ""),
    (D, "return errnum == ENOENT ? w1_gone : w1_read_failed;", "return w1_read_failed;"),
    (D, "while (size < sizeof text && (got", "if (size < sizeof text && (got",
     "sysfs gives w1_slave's whole text in one read"),
    (D, "return EBADMSG;      // \"Bad message\"", "return EIO;"),
    (D, "return EIO;          // \"Input/output error\"", "return EBADMSG;"),
    (D, "return EAGAIN;       // \"Resource temporarily unavailable\"", "return 0;"),
    (D, "return ENOTUNIQ;     // \"Name not unique on network\"", "return ENODEV;"),
    (D, "sixteenths < 0 ? \"-\" : \"\"", "\"\""),
    (D, " && strchr(name, '/') == nullptr", ""),
    (D, "strcmp(entry->d_name, wanted) == 0", "strncmp(entry->d_name, wanted, 15) == 0",
     "the kernel's names are always 15 characters"),
    (D, "return errnum == ENODEV || errnum == ENOENT ? w1_gone",
     "return errnum == ENOENT ? w1_gone",
     "a read failed with ENODEV gives the programs ENODEV either way; only the log "
     "line differs"),
    (C, "    if ((fi->flags & O_ACCMODE) != O_RDONLY) {\n        fuse_reply_err(req, EACCES);\n"
        "        return;\n    }\n", ""),
    (C, "size < 2 ? size : 2", "size < 2 ? 0 : 2"),
    (D, "memcmp(bytes, zeros, 9) == 0", "memcmp(bytes, zeros, 9) == 1"),
    (D, "memcmp(bytes, zeros, 9) == 0", "memcmp(bytes, zeros, 2) == 0"),
    (D, "return ENODATA;", "return EIO;"),
    (D, "(value & 2) != 0;", "(value & 1) != 0;"),
    (R, "r.polled ? 0 :", "true ? 0 :"),
    (R, "read_began_ns < reading_began_ns + waited_ns;",
     "read_began_ns < reading_began_ns + 2 * waited_ns;"),
    (R, "(2 * std::int64_t{ms} + 4000) * 1000000", "(2 * std::int64_t{ms} + 40000) * 1000000"),
    (R, "again = n > 0 || made > 0;", "again = true;"),
    (R, "again = n > 0 || made > 0;", "again = false;"),
    (RH, "reader_waiting_max = 256;", "reader_waiting_max = 64;"),
    (C, "if (reader_interrupt(req))", "if (false && reader_interrupt(req))"),
    (C, "        reader_drain();\n", ""),
    (C, "    if (addr.sun_path[0] == '@')\n        addr.sun_path[0] = '\\0';  // an abstract socket\n",
     "", "systemd hands a path socket, never an abstract one"),
    # Reads as a driver answers them: non-blocking reads and poll(), a
    # descriptor closed, another program's bulk conversion, the stop and
    # SIGHUP; and the programs' read again after EINTR.
    (C, "if (!nonblocking && error == EAGAIN)", "if (error == EAGAIN)"),
    (C, "fuse_reply_poll(req, reader_poll(fi->fh, handle) ? POLLIN | POLLRDNORM : 0);",
     "reader_poll(fi->fh, handle);\n    fuse_reply_poll(req, POLLIN | POLLRDNORM);"),
    (C, "    reader_close(fi->fh);\n", "    static_cast<void>(fi);\n"),
    (C, "        clear_bulk(r.name);\n        r.result = w1_read(devices, r.name, r.reg, r.errnum);\n"
        "        // A bulk", "        r.result = w1_read(devices, r.name, r.reg, r.errnum);\n        // A bulk"),
    (C, "if (state > 0) {", "if (state > 1) {"),
    (D, "        return -1;\n    return got", "        return 0;\n    return got"),
    (C, "sigaction(SIGHUP, &action, nullptr);", "sigaction(SIGUSR2, &action, nullptr);"),
    (C, "    reader_stop();\n    reader_drain();\n", "    reader_drain();\n"),
    (R, "const bool readable = k == nullptr || k->ready;", "const bool readable = true;"),
    (R, "if (k.descriptor == 0 || k.ready || !reader_fresh(k.asked_ns, reading_ns, r))",
     "if (k.descriptor == 0 || k.ready)"),
    (R, "        if (!k->ready)\n            asked--;\n", ""),
    (R, "    if (old != nullptr)\n        wake(old, false);", "    if (old != nullptr)\n        wake(old, true);"),
    (R, "    // Woken, so that their next read fails at once.\n    wake_all(woken);\n", ""),
    (R, "const int error = stopping ? ENODEV : free", "const int error = stopping ? EBUSY : free"),
    (R, "while (count == 0 && asked == 0 && !again)", "while (count == 0 && !again)"),
    # The reader's rules, which its unit test drives.
    (R, "if (w.request == nullptr || w.held)\n            continue;\n        if (r != nullptr",
     "if (w.request == nullptr)\n            continue;\n        if (r != nullptr"),
    (R, "const bool taken = w != nullptr && !w->held;", "const bool taken = w != nullptr;"),
    (R, "while (count > 0 || answering > 0)", "while (count > 0)"),
    (R, "        if (r.conversion_ms > 0)\n            conversion_ms = r.conversion_ms;\n", ""),
    (R, "            expire(now, woken);\n", ""),
    (S, "} while (got < 0 && errno == EINTR);", "} while (false);"),
    (S, "} while (got < 0 && errno == EINTR);", "} while (got < 0);"),
]

# The suite, but for what judges packaging, the systems' roots and style;
# the daemon's machines only for the daemon's slips, as they take most of
# two minutes.
CTEST = ["ctest", "--preset", "default", "-E"]
SKIPPED = "^(packages|board_.*|system_root_refused|clang_tidy{})$"
FAILED = re.compile(rb"^\s*\d+ - (\S+) \((?:Failed|Timeout|SEGFAULT|Subprocess aborted)\)",
                    re.M)


def quiet(command, cwd):
    return subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT)


def failing_tests(tree, machine=True):
    """None where the mutant does not build; else the tests that failed,
    the daemon's machine among them where asked."""
    if quiet(["cmake", "--build", "--preset", "default"], tree).returncode != 0:
        return None
    skipped = SKIPPED.format("" if machine else "|ds18b20d_vm_amd64|ds18b20_resolution_rule_vm_amd64")
    return [name.decode() for name in FAILED.findall(quiet(CTEST + [skipped], tree).stdout)]


def copy_tree(top, tree):
    shutil.rmtree(tree, ignore_errors=True)
    files = subprocess.run(["git", "ls-files", "-z", "--cached", "--others",
                            "--exclude-standard"], cwd=top, check=True,
                           stdout=subprocess.PIPE).stdout.split(b"\0")
    for name in filter(None, files):
        target = os.path.join(tree, name.decode())
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(os.path.join(top, name.decode()), target)


def main():
    top = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    tree = os.path.join(top, "build", "mutants", "tree")
    chosen = [int(n) for n in sys.argv[1:]] or range(1, len(MUTANTS) + 1)
    copy_tree(top, tree)
    failed = failing_tests(tree) if quiet(["cmake", "--preset", "default"], tree).returncode == 0 \
        else None
    if failed != []:
        sys.exit(f"mutants: the unmutated tree does not build and pass: {failed}")

    killed = lived = equivalent = unbuilt = 0
    for number in chosen:
        path, text, replacement, *why = MUTANTS[number - 1]
        source = os.path.join(tree, path)
        with open(source) as f:
            original = f.read()
        if original.count(text) != 1:
            sys.exit(f"mutants: M{number}: {text!r} is not in {path} exactly once")
        with open(source, "w") as f:
            f.write(original.replace(text, replacement))
        # The programs' read again after EINTR: only the machine's signals
        # interrupt a read.
        failed = failing_tests(tree, path in (D, C, R, RH) or "EINTR" in text)
        with open(source, "w") as f:
            f.write(original)
        shown = f"M{number} {path}: {text.strip()!r} -> {replacement.strip()!r}"
        if failed is None:
            unbuilt += 1
            print(f"{shown}: does not build", flush=True)
        elif failed:
            killed += 1
            note = " (listed as equivalent: it is not)" if why else ""
            print(f"{shown}: killed by {', '.join(failed)}{note}", flush=True)
        elif why:
            equivalent += 1
            print(f"{shown}: equivalent: {why[0]}", flush=True)
        else:
            lived += 1
            print(f"{shown}: LIVED", flush=True)
    quiet(["cmake", "--build", "--preset", "default"], tree)
    total = killed + lived
    print(f"{killed} of {total} killed ({100 * killed / max(total, 1):.0f} %); "
          f"{equivalent} equivalent, {unbuilt} do not build")
    sys.exit(1 if lived else 0)


if __name__ == "__main__":
    main()
