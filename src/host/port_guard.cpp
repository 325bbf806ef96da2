// The port guard's program, its map and its attachment, through bpf(2)
// directly: a 27-instruction program needs no compiler and no library.
#include "port_guard.h"

#include <cerrno>
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

int map_fd = -1;
int range_start = 0, range_stop = 0;

long bpf(int command, union bpf_attr& attr)
{
    return syscall(__NR_bpf, command, &attr, sizeof attr);
}

std::string failed(const char* what)
{
    return std::string(what) + ": " + strerror(errno);
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
    std::string mounts;
    read_whole_file("/proc/self/mountinfo", mounts);
    std::vector<std::string> lines;
    explode_string(mounts, "\n", lines);
    for (const std::string& line : lines) {
        // "id parent dev root mount-point options ... - type source ..."
        std::vector<std::string> words;
        explode_string(line, " ", words);
        const std::string::size_type dash = line.find(" - cgroup2 ");
        if (dash != std::string::npos && words.size() > 4)
            return words[4];
    }
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
    // The daemon's network namespace, as the program will see it.
    __u64 cookie = 0;
    socklen_t len = sizeof cookie;
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const bool named = probe >= 0 && getsockopt(probe, SOL_SOCKET, SO_NETNS_COOKIE, &cookie, &len) == 0;
    why = named ? "" : failed("the kernel cannot name the network namespace (SO_NETNS_COOKIE)");
    if (probe >= 0)
        close(probe);
    const std::string root = named ? cgroup2_root(why) : std::string();
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
    // Both attachments or none; the links (and with them the program) live
    // as long as this process, since no other process holds their
    // descriptors (bpf descriptors are close-on-exec).
    bool attached = map_fd >= 0;
    std::vector<int> fds;
    for (enum bpf_attach_type type : {BPF_CGROUP_INET4_BIND, BPF_CGROUP_INET6_BIND}) {
        if (!attached)
            break;
        detach_leftovers(cgroup, type);
        const int program = load_program(type, cookie, why);
        memset(&attr, 0, sizeof attr);
        attr.link_create.prog_fd = static_cast<__u32>(program);
        attr.link_create.target_fd = static_cast<__u32>(cgroup);
        attr.link_create.attach_type = type;
        const int link = program < 0 ? -1 : static_cast<int>(bpf(BPF_LINK_CREATE, attr));
        if (program >= 0 && link < 0)
            why = failed(("cannot attach the program to " + root).c_str());
        attached = link >= 0;
        fds.push_back(program);
        fds.push_back(link);
    }
    if (cgroup >= 0)
        close(cgroup);
    if (!attached) {
        for (int fd : fds)
            if (fd >= 0)
                close(fd);
        if (map_fd >= 0)
            close(map_fd);
        map_fd = -1;
        return false;
    }
    struct bpf_prog_info info;
    program_info(fds[0], info);
    // The links hold the programs; only their descriptors stay open.
    close(fds[0]);
    close(fds[2]);
    log_msg("arm_port_guard", "port guard on: binds to ports %d-%d are refused but for root and the grant that holds the "
            "port (program %u on %s)\n", start, stop - 1, info.id, root.c_str());
    return true;
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
