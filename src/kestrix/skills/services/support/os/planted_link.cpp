#include "support/os/planted_link.h"

#include "support/os/platform.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace kestrix::os {

namespace {

// POSIX ACLs as Linux keeps them in the system.posix_acl_access attribute.
constexpr std::uint32_t kAclVersion = 2;
constexpr std::uint16_t kUserObj = 0x01, kUser = 0x02, kGroupObj = 0x04, kGroup = 0x08,
                        kMask = 0x10, kOther = 0x20;
constexpr std::uint16_t kWrite = 02;
constexpr int kMaxEntries = 128;

struct AclEntry {
    std::uint16_t tag;
    std::uint16_t perm;
    std::uint32_t id;
};

/// A file's access ACL; `present` false when it has none beyond its mode.
struct Acl {
    bool present = false;
    int count = 0;
    AclEntry entries[kMaxEntries];

    [[nodiscard]] std::uint16_t mask() const noexcept {
        for (int i = 0; i < count; ++i) {
            if (entries[i].tag == kMask) return entries[i].perm;
        }
        return 07;
    }
};

/// Reads the ACL of `fd` (`folder`: an O_PATH descriptor). 0, or an errno (an ACL too
/// large to hold is one, and so is a system that keeps ACLs another way: the answer could
/// not be sure).
[[nodiscard]] int read_acl(int fd, bool folder, Acl& out) noexcept {
    unsigned char raw[4 + kMaxEntries * 8];
    const ssize_t got = platform::access_acl(fd, folder, raw, sizeof raw);
    if (got < 0) return errno;
    if (got == 0) return 0;
    std::uint32_t version = 0;
    if (got < 4 || (got - 4) % 8 != 0) return EINVAL;
    std::memcpy(&version, raw, 4);
    if (version != kAclVersion) return EINVAL;
    out.present = true;
    out.count = static_cast<int>((got - 4) / 8);
    for (int i = 0; i < out.count; ++i) {
        const unsigned char* entry = raw + 4 + static_cast<std::size_t>(i) * 8;
        std::memcpy(&out.entries[i].tag, entry, 2);
        std::memcpy(&out.entries[i].perm, entry + 2, 2);
        std::memcpy(&out.entries[i].id, entry + 4, 4);
    }
    return 0;
}

/// Who may have put a name in the folder: one user, any member of one group, or anyone.
struct Planter {
    enum Kind { User, GroupMember, Anyone } kind;
    unsigned int id;
};

/// The groups of user `uid` (primary and supplementary), or false when they cannot be
/// told.
[[nodiscard]] bool groups_of(uid_t uid, gid_t* groups, int& count) noexcept {
    struct passwd entry {};
    struct passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) {
        return false;
    }
#if defined(__APPLE__)
    // macOS declares the list as int.
    int listed[256];
    if (count > 256) count = 256;
    if (::getgrouplist(entry.pw_name, static_cast<int>(entry.pw_gid), listed, &count) < 0) {
        return false;
    }
    for (int i = 0; i < count; ++i) groups[i] = static_cast<gid_t>(listed[i]);
    return true;
#else
    return ::getgrouplist(entry.pw_name, entry.pw_gid, groups, &count) >= 0;
#endif
}

/// Whether `who` could write a file of stat `info` and ACL `acl`. A user whose groups
/// cannot be told (no entry in the user database) is taken to be in all of them or none,
/// whichever gives the answer no: only what holds either way lets the write go ahead.
[[nodiscard]] bool could_write(const Planter& who, const struct stat& info,
                               const Acl& acl) noexcept {
    if (who.kind == Planter::User && who.id == 0) return true;  // root writes anything
    gid_t groups[256];
    int group_count = 0;
    bool groups_known = true;
    if (who.kind == Planter::User) {
        group_count = static_cast<int>(sizeof groups / sizeof groups[0]);
        groups_known = groups_of(who.id, groups, group_count);
        if (!groups_known) group_count = 0;
    } else if (who.kind == Planter::GroupMember) {
        groups[0] = who.id;
        group_count = 1;
    }
    const auto in_group = [&](gid_t gid) {
        for (int i = 0; i < group_count; ++i) {
            if (groups[i] == gid) return true;
        }
        return false;
    };
    const bool owner = who.kind == Planter::User && who.id == info.st_uid;
    if (!acl.present) {
        if (owner) return (info.st_mode & S_IWUSR) != 0;
        const bool group_writes = (info.st_mode & S_IWGRP) != 0;
        const bool other_writes = (info.st_mode & S_IWOTH) != 0;
        if (!groups_known) return group_writes && other_writes;
        return in_group(info.st_gid) ? group_writes : other_writes;
    }
    // The ACL check as the kernel makes it: owner, named user, groups, other.
    const std::uint16_t mask = acl.mask();
    std::uint16_t other = 0;
    bool group_matched = false;
    bool group_writes = false;
    bool every_group_writes = true;
    for (int i = 0; i < acl.count; ++i) {
        const AclEntry& e = acl.entries[i];
        switch (e.tag) {
            case kUserObj:
                if (owner) return (e.perm & kWrite) != 0;
                break;
            case kUser:
                if (who.kind == Planter::User && e.id == who.id && !owner)
                    return (e.perm & mask & kWrite) != 0;
                break;
            case kGroupObj:
            case kGroup: {
                const bool writes = (e.perm & mask & kWrite) != 0;
                every_group_writes = every_group_writes && writes;
                const gid_t gid = e.tag == kGroupObj ? info.st_gid : static_cast<gid_t>(e.id);
                if (in_group(gid)) {
                    group_matched = true;
                    group_writes = group_writes || writes;
                }
                break;
            }
            case kOther: other = e.perm; break;
            default: break;
        }
    }
    if (!groups_known) return every_group_writes && (other & kWrite) != 0;
    if (group_matched) return group_writes;
    return (other & kWrite) != 0;
}

}  // namespace

int check_planted_link(int folder, int fd, const struct stat& info) noexcept {
    if (info.st_nlink <= 1) return 0;
    struct stat place {};
    if (::fstat(folder, &place) < 0) return errno;
    Acl folder_acl;
    const bool folder_acl_known = read_acl(folder, true, folder_acl) == 0;

    Planter planters[kMaxEntries + 2];
    int count = 0;
    const uid_t me = ::geteuid();
    if (place.st_uid != me && place.st_uid != 0) {
        planters[count++] = Planter{Planter::User, place.st_uid};
    }
    if (!folder_acl_known) {
        // Its group bits may stand for an ACL's mask: anyone could have been let in.
        if ((place.st_mode & (S_IWGRP | S_IWOTH)) != 0)
            planters[count++] = Planter{Planter::Anyone, 0};
    } else if (!folder_acl.present) {
        if ((place.st_mode & S_IWGRP) != 0)
            planters[count++] = Planter{Planter::GroupMember, place.st_gid};
        if ((place.st_mode & S_IWOTH) != 0) planters[count++] = Planter{Planter::Anyone, 0};
    } else {
        const std::uint16_t mask = folder_acl.mask();
        for (int i = 0; i < folder_acl.count; ++i) {
            const AclEntry& e = folder_acl.entries[i];
            const bool writes = (e.perm & (e.tag == kOther ? 07 : mask) & kWrite) != 0;
            if (!writes) continue;
            if (e.tag == kUser && e.id != me && e.id != 0) {
                planters[count++] = Planter{Planter::User, e.id};
            } else if (e.tag == kGroupObj) {
                planters[count++] = Planter{Planter::GroupMember, place.st_gid};
            } else if (e.tag == kGroup) {
                planters[count++] = Planter{Planter::GroupMember, e.id};
            } else if (e.tag == kOther) {
                planters[count++] = Planter{Planter::Anyone, 0};
            }
        }
    }
    if (count == 0) return 0;
    // Someone else may have made this name: the file must be one they could write anyway.
    const bool set_id = (info.st_mode & S_ISUID) != 0 ||
                        ((info.st_mode & S_ISGID) != 0 && (info.st_mode & S_IXGRP) != 0);
    if (set_id) return EACCES;
    Acl file_acl;
    if (read_acl(fd, false, file_acl) != 0) return EACCES;
    for (int i = 0; i < count; ++i) {
        if (!could_write(planters[i], info, file_acl)) return EACCES;
    }
    return 0;
}

}  // namespace kestrix::os
