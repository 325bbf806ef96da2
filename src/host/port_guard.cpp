// The port guard's program, its map and its attachment, through bpf(2)
// directly: a 27-instruction program needs no compiler and no library.
#include "port_guard.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <linux/bpf.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "../log.h"
#include "../text.h"

#ifndef SO_NETNS_COOKIE
#define SO_NETNS_COOKIE 71
#endif

namespace {

// The program's name, by which a start finds a guard left by an earlier run.
const char* const program_name = "tk_port_guard";
// Where the daemon mounts the cgroup v2 hierarchy when the host has none
// mounted (a host that still uses cgroup v1).
const char* const own_mount = "/run/tunnel_keeper/cgroup2";
// Where the daemon mounts the BPF file system when the host has none (a
// systemd host mounts it there at boot).
const char* const bpf_fs = "/sys/fs/bpf";
// The attach types, and the names their links are pinned under.
const enum bpf_attach_type attach_types[2] = {BPF_CGROUP_INET4_BIND, BPF_CGROUP_INET6_BIND};
const char* const pin_names[2] = {"/bind4", "/bind6"};

int map_fd = -1;
int range_start = 0, range_stop = 0;
int link_fds[2] = {-1, -1};
std::string pin_dir;  // empty while the links are not pinned

long bpf(int command, union bpf_attr& attr)
{
    return syscall(__NR_bpf, command, &attr, sizeof attr);
}

std::string failed(const char* what)
{
    return std::string(what) + ": " + strerror(errno);
}

// The mount point of the first file system of `type` that this process
// sees; empty when there is none.
std::string mount_point(const std::string& type)
{
    std::string mounts;
    read_whole_file("/proc/self/mountinfo", mounts);
    std::vector<std::string> lines;
    explode_string(mounts, "\n", lines);
    for (const std::string& line : lines) {
        // "id parent dev root mount-point options ... - type source ..."
        std::vector<std::string> words;
        explode_string(line, " ", words);
        if (line.find(" - " + type + " ") != std::string::npos && words.size() > 4)
            return words[4];
    }
    return std::string();
}

// The cookie that names the daemon's network namespace, as the program sees
// it; false, with the reason, when the kernel cannot tell it.
bool netns_cookie(__u64& cookie, std::string& why)
{
    socklen_t len = sizeof cookie;
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool named = probe >= 0 && getsockopt(probe, SOL_SOCKET, SO_NETNS_COOKIE, &cookie, &len) == 0;
    if (!named)
        why = failed("the kernel cannot name the network namespace (SO_NETNS_COOKIE)");
    if (probe >= 0)
        close(probe);
    return named;
}

// The directory that holds the guard's pinned links for this network
// namespace: one guard per namespace, whatever daemon runs there, and none
// of another namespace's. The BPF file system is mounted where the host has
// none, if `may_mount`. Empty, with the reason, when there is no such place.
std::string guard_pin_dir(__u64 cookie, bool may_mount, std::string& why)
{
    std::string fs = mount_point("bpf");
    if (fs.empty() && !may_mount)
        return std::string();
    if (fs.empty()) {
        if (mount("bpf", bpf_fs, "bpf", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=0700") != 0) {
            why = failed("no BPF file system is mounted, and mounting one at /sys/fs/bpf failed");
            return std::string();
        }
        log_msg("arm_port_guard", "mounted the BPF file system at %s\n", bpf_fs);
        fs = bpf_fs;
    }
    mkdir((fs + "/tunnel_keeper").c_str(), 0700);
    return fs + "/tunnel_keeper/" + to_string(static_cast<unsigned long long>(cookie), std::hex);
}

// The link pinned at `path`, or -1.
int pinned_link(const std::string& path)
{
    union bpf_attr attr;
    memset(&attr, 0, sizeof attr);
    attr.pathname = reinterpret_cast<__u64>(path.c_str());
    return static_cast<int>(bpf(BPF_OBJ_GET, attr));
}

// Detaches the links pinned in `dir` (open in `fds` where known) and
// removes the pins: the guard is gone, whoever still holds the links.
void remove_pins(const std::string& dir, int fds[2])
{
    for (int i = 0; i < 2; ++i) {
        const std::string path = dir + pin_names[i];
        const int fd = fds[i] >= 0 ? fds[i] : pinned_link(path);
        union bpf_attr attr;
        memset(&attr, 0, sizeof attr);
        attr.link_detach.link_fd = static_cast<__u32>(fd);
        if (fd >= 0 && bpf(BPF_LINK_DETACH, attr) != 0)
            log_msg("remove_port_guard", "%s\n", failed(("couldn't detach " + path).c_str()).c_str());
        if (fd >= 0)
            close(fd);
        fds[i] = -1;
        unlink(path.c_str());
    }
    rmdir(dir.c_str());
}

// The kernel's description of the program behind `fd`: its id and name.
bool program_info(int fd, struct bpf_prog_info& info)
{
    union bpf_attr attr;
    memset(&info, 0, sizeof info);
    memset(&attr, 0, sizeof attr);
    attr.info.bpf_fd = static_cast<__u32>(fd);
    attr.info.info_len = sizeof info;
    attr.info.info = reinterpret_cast<__u64>(&info);
    return bpf(BPF_OBJ_GET_INFO_BY_FD, attr) == 0;
}

// The instruction encodings the program uses.
struct bpf_insn op(__u8 code, __u8 dst, __u8 src, __s16 off, __s32 imm)
{
    struct bpf_insn i;
    i.code = code;
    i.dst_reg = dst & 0xf;
    i.src_reg = src & 0xf;
    i.off = off;
    i.imm = imm;
    return i;
}

// Loads the program for one attach type: allow (1) or refuse (0) a bind.
// The jumps to "allow" are patched once its place is known.
int load_program(enum bpf_attach_type type, __u64 netns_cookie, std::string& why)
{
    const __u8 ctx = BPF_REG_6, port = BPF_REG_7, uid = BPF_REG_8;
    std::vector<struct bpf_insn> p;
    std::vector<size_t> to_allow;
    const auto jump_to_allow = [&](struct bpf_insn i) {
        to_allow.push_back(p.size());
        p.push_back(i);
    };
    const auto load_imm64 = [&](__u8 dst, __u8 pseudo, __u64 value) {
        p.push_back(op(BPF_LD | BPF_DW | BPF_IMM, dst, pseudo, 0, static_cast<__s32>(value & 0xffffffff)));
        p.push_back(op(0, 0, 0, 0, static_cast<__s32>(value >> 32)));
    };
    p.push_back(op(BPF_ALU64 | BPF_MOV | BPF_X, ctx, BPF_REG_1, 0, 0));
    // Stream sockets only (TCP, and MPTCP, which a TCP client reaches too):
    // a datagram socket cannot take a device's connections.
    p.push_back(op(BPF_LDX | BPF_MEM | BPF_W, BPF_REG_0, ctx, offsetof(struct bpf_sock_addr, type), 0));
    jump_to_allow(op(BPF_JMP | BPF_JNE | BPF_K, BPF_REG_0, 0, 0, SOCK_STREAM));
    // In the daemon's network namespace only: a daemon in a container or a
    // test's namespace leaves the ports of the others alone.
    p.push_back(op(BPF_JMP | BPF_CALL, 0, 0, 0, BPF_FUNC_get_netns_cookie));  // r1 is still the context
    load_imm64(BPF_REG_1, 0, netns_cookie);
    jump_to_allow(op(BPF_JMP | BPF_JNE | BPF_X, BPF_REG_0, BPF_REG_1, 0, 0));
    // port = the port asked for (network byte order in the context) less
    // the pool's start; ports below the pool wrap to a large number, and
    // port 0 (any free port) is below it.
    p.push_back(op(BPF_LDX | BPF_MEM | BPF_W, port, ctx, offsetof(struct bpf_sock_addr, user_port), 0));
    p.push_back(op(BPF_ALU | BPF_END | BPF_TO_BE, port, 0, 0, 16));
    p.push_back(op(BPF_ALU64 | BPF_SUB | BPF_K, port, 0, 0, range_start));
    jump_to_allow(op(BPF_JMP | BPF_JGE | BPF_K, port, 0, 0, range_stop - range_start));
    p.push_back(op(BPF_STX | BPF_MEM | BPF_W, BPF_REG_10, port, -4, 0));  // the map's key
    // Root may bind any port.
    p.push_back(op(BPF_JMP | BPF_CALL, 0, 0, 0, BPF_FUNC_get_current_uid_gid));
    p.push_back(op(BPF_ALU | BPF_MOV | BPF_X, uid, BPF_REG_0, 0, 0));  // the low half: the uid
    jump_to_allow(op(BPF_JMP | BPF_JEQ | BPF_K, uid, 0, 0, 0));
    // Anyone else only the ports of the grant whose account they are.
    load_imm64(BPF_REG_1, BPF_PSEUDO_MAP_FD, static_cast<__u64>(map_fd));
    p.push_back(op(BPF_ALU64 | BPF_MOV | BPF_X, BPF_REG_2, BPF_REG_10, 0, 0));
    p.push_back(op(BPF_ALU64 | BPF_ADD | BPF_K, BPF_REG_2, 0, 0, -4));
    p.push_back(op(BPF_JMP | BPF_CALL, 0, 0, 0, BPF_FUNC_map_lookup_elem));
    jump_to_allow(op(BPF_JMP | BPF_JEQ | BPF_K, BPF_REG_0, 0, 0, 0));
    p.push_back(op(BPF_LDX | BPF_MEM | BPF_W, BPF_REG_1, BPF_REG_0, 0, 0));
    jump_to_allow(op(BPF_JMP | BPF_JEQ | BPF_X, BPF_REG_1, uid, 0, 0));
    p.push_back(op(BPF_ALU64 | BPF_MOV | BPF_K, BPF_REG_0, 0, 0, 0));  // refused: EPERM
    p.push_back(op(BPF_JMP | BPF_EXIT, 0, 0, 0, 0));
    const size_t allow = p.size();
    p.push_back(op(BPF_ALU64 | BPF_MOV | BPF_K, BPF_REG_0, 0, 0, 1));
    p.push_back(op(BPF_JMP | BPF_EXIT, 0, 0, 0, 0));
    for (size_t at : to_allow)
        p[at].off = static_cast<__s16>(allow - at - 1);

    static char verifier_log[4096];
    union bpf_attr attr;
    memset(&attr, 0, sizeof attr);
    attr.prog_type = BPF_PROG_TYPE_CGROUP_SOCK_ADDR;
    attr.expected_attach_type = type;
    attr.insns = reinterpret_cast<__u64>(p.data());
    attr.insn_cnt = static_cast<__u32>(p.size());
    attr.license = reinterpret_cast<__u64>("GPL");
    attr.log_buf = reinterpret_cast<__u64>(verifier_log);
    attr.log_size = sizeof verifier_log;
    attr.log_level = 1;
    strncpy(attr.prog_name, program_name, sizeof attr.prog_name - 1);
    verifier_log[0] = '\0';
    const int fd = static_cast<int>(bpf(BPF_PROG_LOAD, attr));
    if (fd < 0)
        why = failed("the kernel refused the program") + (verifier_log[0] ? ": " + escape_text(verifier_log) : "");
    return fd;
}

// The mount point of the cgroup v2 hierarchy, mounted at a path of the
// daemon's own when the host has none; empty, with the reason, when it
// cannot be had.
std::string cgroup2_root(std::string& why)
{
    const std::string mounted = mount_point("cgroup2");
    if (!mounted.empty())
        return mounted;
    mkdir("/run/tunnel_keeper", 0700);
    mkdir(own_mount, 0700);
    if (mount("cgroup2", own_mount, "cgroup2", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0) {
        why = failed("no cgroup v2 hierarchy is mounted, and mounting one at /run/tunnel_keeper/cgroup2 failed");
        return std::string();
    }
    log_msg("arm_port_guard", "mounted the cgroup v2 hierarchy at %s\n", own_mount);
    return own_mount;
}

// Detaches the guards that an earlier run attached to `cgroup` without a
// link (they would outlive it); those held by a live daemon's link stay.
void detach_leftovers(int cgroup, enum bpf_attach_type type)
{
    __u32 ids[64];
    union bpf_attr attr;
    memset(&attr, 0, sizeof attr);
    attr.query.target_fd = static_cast<__u32>(cgroup);
    attr.query.attach_type = type;
    attr.query.prog_ids = reinterpret_cast<__u64>(ids);
    attr.query.prog_cnt = 64;
    if (bpf(BPF_PROG_QUERY, attr) != 0)
        return;
    const __u32 count = attr.query.prog_cnt < 64 ? attr.query.prog_cnt : 64;
    for (__u32 i = 0; i < count; ++i) {
        memset(&attr, 0, sizeof attr);
        attr.prog_id = ids[i];
        const int fd = static_cast<int>(bpf(BPF_PROG_GET_FD_BY_ID, attr));
        if (fd < 0)
            continue;
        struct bpf_prog_info info;
        if (program_info(fd, info) && strcmp(info.name, program_name) == 0) {
            memset(&attr, 0, sizeof attr);
            attr.target_fd = static_cast<__u32>(cgroup);
            attr.attach_bpf_fd = static_cast<__u32>(fd);
            attr.attach_type = type;
            if (bpf(BPF_PROG_DETACH, attr) == 0)
                log_msg("arm_port_guard", "detached port guard program %u that an earlier run left\n", ids[i]);
        }
        close(fd);
    }
}

} // namespace

bool arm_port_guard(int start, int stop, std::string& why)
{
    range_start = start;
    range_stop = stop;
    __u64 cookie = 0;
    const std::string root = netns_cookie(cookie, why) ? cgroup2_root(why) : std::string();
    const int cgroup = root.empty() ? -1 : open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (!root.empty() && cgroup < 0)
        why = failed(("cannot open " + root).c_str());
    union bpf_attr attr;
    if (cgroup >= 0) {
        memset(&attr, 0, sizeof attr);
        attr.map_type = BPF_MAP_TYPE_ARRAY;
        attr.key_size = 4;
        attr.value_size = 4;  // the uid that may bind the port besides root; 0 for none
        attr.max_entries = static_cast<__u32>(stop - start);
        strncpy(attr.map_name, "tk_port_owners", sizeof attr.map_name - 1);
        map_fd = static_cast<int>(bpf(BPF_MAP_CREATE, attr));
        if (map_fd < 0)
            why = failed("the kernel refused the map");
    }
    // The links are pinned, so that the guard outlives this process as the
    // grants do: a crash, a stop or an upgrade leaves no moment in which
    // another account may bind a pool port. A start puts its own program
    // into the links the last run pinned, in one step; its map starts with
    // every port root's, and the take-back gives the grants theirs.
    std::string kept_why;
    const std::string dir = map_fd >= 0 ? guard_pin_dir(cookie, true, kept_why) : std::string();
    if (!dir.empty())
        mkdir(dir.c_str(), 0700);
    bool attached = map_fd >= 0, took_over = false;
    __u32 program_id = 0;
    for (int i = 0; i < 2 && attached; ++i) {
        detach_leftovers(cgroup, attach_types[i]);
        const int program = load_program(attach_types[i], cookie, why);
        struct bpf_prog_info info;
        if (program < 0 || !program_info(program, info)) {
            attached = false;
            break;
        }
        program_id = i == 0 ? info.id : program_id;
        const std::string pin = dir + pin_names[i];
        const int old = dir.empty() ? -1 : pinned_link(pin);
        memset(&attr, 0, sizeof attr);
        attr.link_update.link_fd = static_cast<__u32>(old);
        attr.link_update.new_prog_fd = static_cast<__u32>(program);
        if (old >= 0 && bpf(BPF_LINK_UPDATE, attr) == 0) {
            link_fds[i] = old;
            took_over = true;
        } else {
            if (old >= 0) {  // a link that cannot take a program any more
                close(old);
                unlink(pin.c_str());
            }
            memset(&attr, 0, sizeof attr);
            attr.link_create.prog_fd = static_cast<__u32>(program);
            attr.link_create.target_fd = static_cast<__u32>(cgroup);
            attr.link_create.attach_type = attach_types[i];
            link_fds[i] = static_cast<int>(bpf(BPF_LINK_CREATE, attr));
            if (link_fds[i] < 0)
                why = failed(("cannot attach the program to " + root).c_str());
            memset(&attr, 0, sizeof attr);
            attr.pathname = reinterpret_cast<__u64>(pin.c_str());
            attr.bpf_fd = static_cast<__u32>(link_fds[i]);
            if (link_fds[i] >= 0 && !dir.empty() && bpf(BPF_OBJ_PIN, attr) != 0)
                kept_why = failed(("cannot pin the guard in " + dir).c_str());
        }
        attached = link_fds[i] >= 0;
        close(program);  // the link holds it
    }
    if (cgroup >= 0)
        close(cgroup);
    pin_dir = dir;
    if (!attached) {
        // Both attachments or none.
        remove_port_guard();
        return false;
    }
    if (took_over)
        log_msg("arm_port_guard", "took over the port guard that the last run left in %s\n", dir.c_str());
    log_msg("arm_port_guard", "port guard on: binds to ports %d-%d are refused but for root and the grant that holds the "
            "port (program %u on %s); %s%s\n", start, stop - 1, program_id, root.c_str(),
            kept_why.empty() ? "it stays while the daemon is down, pinned in " : "it ends with the daemon: ",
            kept_why.empty() ? dir.c_str() : kept_why.c_str());
    return true;
}

void remove_port_guard()
{
    if (!pin_dir.empty()) {
        remove_pins(pin_dir, link_fds);
    } else {
        for (int& fd : link_fds) {
            if (fd >= 0)
                close(fd);
            fd = -1;
        }
    }
    if (map_fd >= 0)
        close(map_fd);
    map_fd = -1;
}

void remove_leftover_guard()
{
    __u64 cookie = 0;
    std::string why;
    const std::string dir = netns_cookie(cookie, why) ? guard_pin_dir(cookie, false, why) : std::string();
    int fds[2] = {pinned_link(dir + pin_names[0]), pinned_link(dir + pin_names[1])};
    if (dir.empty() || (fds[0] < 0 && fds[1] < 0))
        return;
    remove_pins(dir, fds);
    log_msg("main", "removed the port guard that the last run left in %s\n", dir.c_str());
}

bool port_guard_armed()
{
    return map_fd >= 0;
}

void guard_port(int port, unsigned uid)
{
    if (map_fd < 0 || port < range_start || port >= range_stop)
        return;
    const __u32 key = static_cast<__u32>(port - range_start), value = uid;
    union bpf_attr attr;
    memset(&attr, 0, sizeof attr);
    attr.map_fd = static_cast<__u32>(map_fd);
    attr.key = reinterpret_cast<__u64>(&key);
    attr.value = reinterpret_cast<__u64>(&value);
    attr.flags = BPF_ANY;
    if (bpf(BPF_MAP_UPDATE_ELEM, attr) != 0)
        log_msg("guard_port", "couldn't let uid %u bind port %d: %s\n", uid, port, strerror(errno));
}

namespace {

const char* const reserved_ports_path = "/proc/sys/net/ipv4/ip_local_reserved_ports";

// The ports `first` to `last` that are not in the kernel's reserved list
// `reserved` ("a-b,c" as it lists them), in the same form.
std::string unreserved_ports(int first, int last, const std::string& reserved)
{
    std::vector<bool> is_reserved(65536);
    std::vector<std::string> pieces;
    explode_string(reserved, ",", pieces);
    for (const std::string& piece : pieces) {
        int low = 0, high = -1;
        if (sscanf(piece.c_str(), "%d-%d", &low, &high) == 1)
            high = low;
        for (int port = std::max(low, 0); port <= high && port < 65536; ++port)
            is_reserved[static_cast<size_t>(port)] = true;
    }
    std::string open;
    for (int port = std::max(first, 0); port <= last && port < 65536; ++port) {
        if (is_reserved[static_cast<size_t>(port)])
            continue;
        int end = port;
        while (end + 1 <= last && end + 1 < 65536 && !is_reserved[static_cast<size_t>(end + 1)])
            ++end;
        open += (open.empty() ? "" : ",") + to_string(port, std::dec) + (end > port ? "-" + to_string(end, std::dec) : "");
        port = end;
    }
    return open;
}

std::string reserved_ports()
{
    std::string reserved;
    read_whole_file(reserved_ports_path, reserved);
    return reserved.substr(0, reserved.find('\n'));
}

} // namespace

std::string unreserved_ephemeral_ports(int start, int stop, std::string& reserved)
{
    std::string range;
    read_whole_file("/proc/sys/net/ipv4/ip_local_port_range", range);
    reserved = reserved_ports();
    int low = 0, high = -1;
    sscanf(range.c_str(), "%d %d", &low, &high);
    return unreserved_ports(std::max(start, low), std::min(stop - 1, high), reserved);
}

void reserve_pool_ports(int start, int stop)
{
    const std::string reserved = reserved_ports(), missing = unreserved_ports(start, stop - 1, reserved);
    if (missing.empty())
        return;
    const std::string list = (reserved.empty() ? "" : reserved + ",") + missing;
    log_msg("main", "reserving pool ports %s beside the reserved ports (net.ipv4.ip_local_reserved_ports=%s)\n", missing.c_str(),
            list.c_str());
    const int fd = open(reserved_ports_path, O_WRONLY | O_CLOEXEC);
    const bool written = fd >= 0 && write(fd, list.data(), list.size()) == static_cast<ssize_t>(list.size());
    if (!written)
        log_msg("main", "couldn't reserve pool ports %s: %s\n", missing.c_str(), strerror(errno));
    if (fd >= 0)
        close(fd);
}
