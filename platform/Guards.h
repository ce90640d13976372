// Move-only owners for the resources the service opens: a descriptor, a
// stream, a directory, a registry key. Each releases its resource on every
// path; a copy would release twice, so none can be copied.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <utility>

#include "NTwin32.h"

template <typename T, typename Traits>
class UniqueResource {
public:
    UniqueResource() = default;
    explicit UniqueResource(T value) : m_value(value) {}
    ~UniqueResource() { reset(); }
    UniqueResource(const UniqueResource &) = delete;
    UniqueResource &operator=(const UniqueResource &) = delete;
    UniqueResource(UniqueResource &&o) noexcept : m_value(o.release()) {}
    UniqueResource &operator=(UniqueResource &&o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }

    T get() const { return m_value; }
    explicit operator bool() const { return m_value != Traits::Invalid(); }
    T release() { return std::exchange(m_value, Traits::Invalid()); }
    void reset(T value = Traits::Invalid()) {
        const T old = std::exchange(m_value, value);
        if (old != Traits::Invalid()) (void)Traits::Close(old);
    }
    // Releases now and reports whether the release succeeded (a close that
    // fails can mean lost data).
    bool close() {
        const T old = release();
        return old == Traits::Invalid() || Traits::Close(old) == 0;
    }

private:
    T m_value = Traits::Invalid();
};

struct FdTraits {
    static int Invalid() { return -1; }
    static int Close(int fd) { return ::close(fd); }
};
struct FileTraits {
    static FILE *Invalid() { return nullptr; }
    static int Close(FILE *fp) { return fclose(fp); }
};
struct DirTraits {
    static DIR *Invalid() { return nullptr; }
    static int Close(DIR *d) { return closedir(d); }
};
struct RegKeyTraits {
    static HKEY Invalid() { return nullptr; }
    static int Close(HKEY h) { return int(RegCloseKey(h)); }
};

using UniqueFd = UniqueResource<int, FdTraits>;
using UniqueFile = UniqueResource<FILE *, FileTraits>;
using UniqueDir = UniqueResource<DIR *, DirTraits>;
using UniqueRegKey = UniqueResource<HKEY, RegKeyTraits>;
