// SPDX-License-Identifier: MIT
// libFuzzer over w1_choose: a devices directory holding whatever names the
// input says. Its first byte picks the name wanted, its second the size of
// the list of names found; the rest are the names, each ended by '/' for a
// directory or by a NUL for a plain file: the two bytes no name can hold.
// Each input gets a fresh directory, removed after.
#include "w1.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char *why, const char *name)
{
    fprintf(stderr, "w1_choose_fuzz: %s: \"%s\"\n", why, name);
    abort();
}

// Makes the entries the input names under dir, and lists those made: ".",
// "..", the empty name, a name made twice or one too long are not.
std::vector<std::string> make_entries(const std::string &dir, const char *at,
                                      const char *end)
{
    std::vector<std::string> names;
    while (at < end) {
        const char *stop = at;
        while (stop < end && *stop != '/' && *stop != '\0')
            stop++;
        const std::string name(at, stop);
        const std::string path = dir + "/" + name;
        int made = -1;
        if (stop < end && *stop == '\0') {
            made = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (made >= 0)
                close(made);
        } else {
            made = mkdir(path.c_str(), 0755);
        }
        if (made >= 0)
            names.push_back(name);
        at = stop < end ? stop + 1 : stop;
    }
    return names;
}

void remove_entries(const std::string &dir, const std::vector<std::string> &names)
{
    for (const std::string &name : names) {
        const std::string path = dir + "/" + name;
        if (rmdir(path.c_str()) != 0 && unlink(path.c_str()) != 0)
            fail("cannot remove", path.c_str());
    }
    if (rmdir(dir.c_str()) != 0)
        fail("cannot remove", dir.c_str());
}

// A buffer as a caller gives it: an empty string, the rest garbage that a
// missing NUL would run into; on the heap at its exact size, so that
// AddressSanitizer sees any access past it.
char *caller_buffer(std::size_t size)
{
    char *buffer = new char[size];
    memset(buffer, '#', size);
    buffer[0] = '\0';
    return buffer;
}

void choose(const char *dir, const char *wanted, std::size_t found_size,
            const std::vector<std::string> &names)
{
    // Room for any directory entry's name, as ds18b20d gives it.
    const std::size_t name_size = NAME_MAX + 1;
    char *name = caller_buffer(name_size);
    char *found = caller_buffer(found_size);
    char *masters = caller_buffer(found_size);
    const bool ok = w1_choose(dir, wanted, name, name_size, found, found_size, masters,
                              found_size) == w1_ok;
    const char *what = wanted != nullptr ? wanted : "(none wanted)";
    if (strnlen(name, name_size) == name_size)
        fail("name is not NUL-terminated within its size", what);
    if (strnlen(found, found_size) == found_size)
        fail("found is not NUL-terminated within its size", what);
    if (strnlen(masters, found_size) == found_size)
        fail("masters is not NUL-terminated within its size", what);
    if (ok) {
        bool made = false;
        for (const std::string &entry : names)
            made = made || entry == name;
        if (!made)
            fail("the name chosen is not one in the directory", name);
        if (wanted != nullptr && strcmp(name, wanted) != 0)
            fail("the name chosen is not the one wanted", name);
    }
    delete[] name;
    delete[] found;
    delete[] masters;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const char *tmp = getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr ? tmp : "/tmp") + "/w1_choose_fuzz.XXXXXX";
    if (mkdtemp(&dir[0]) == nullptr)
        fail("mkdtemp failed", dir.c_str());
    const char *text = reinterpret_cast<const char *>(data);
    const std::vector<std::string> names = make_entries(dir, text + 2, text + size);
    const std::size_t found_size = 1 + std::size_t{data[1]} * 4;

    choose(dir.c_str(), nullptr, found_size, names);
    if (!names.empty()) {
        // The name wanted, as its own exact allocation: a read past its NUL
        // is seen.
        const std::string &pick = names[std::size_t{data[0]} % names.size()];
        char *wanted = new char[pick.size() + 1];
        memcpy(wanted, pick.c_str(), pick.size() + 1);
        choose(dir.c_str(), wanted, found_size, names);
        delete[] wanted;
    }
    remove_entries(dir, names);
    return 0;
}
