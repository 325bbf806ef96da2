// Temporary accounts on the host: making one with its key pair, key line and
// key copy, checking what another user may have put in its place, and
// ending and deleting it.
#ifndef TUNNEL_KEEPER_HOST_ACCOUNTS_H
#define TUNNEL_KEEPER_HOST_ACCOUNTS_H

#include <ctime>
#include <string>

#include "../text.h"

// The account's uid; false when no such account exists.
bool account_uid(const std::string& user, unsigned& uid);

// The command that a grant's key runs for every session: it holds the
// session open until the grant's end.
extern const char* const session_command;

// What a grant needs of its account.
struct account_request {
    std::string name;      // the device's, for the log
    port_list localports;  // the only ports its key may listen on
    time_t end;            // no login with the key after this, no session beyond it
    std::string key_type;  // ssh-keygen -t
};

// Makes a throw-away account in /tmp with a key pair whose key line admits
// only the grant's tunnel, and the private-key copy for www-data, each step
// checked. 0 with the account's name, its uid and the key's fingerprint
// ("unknown" when it cannot be read). -1 at the first step that fails or a
// key copy that fails its check: then `user`, when not empty, names what was
// made, for the caller to remove, and `key_copy` tells whether the file at
// the key copy's path is the daemon's.
int make_account(const account_request& request, std::string& user, unsigned& uid, std::string& fingerprint,
                 bool& key_copy);

// The public key that provisioning left in the account's home (key.pub), as
// the state file keeps it; empty when it is not a plain public key.
std::string public_key_of(const std::string& user);

// True when nothing at all is at the account's home path /tmp/<account>, as
// after a reboot that emptied /tmp.
bool home_is_missing(const std::string& user);

// Builds the home of an existing account `user` (uid `uid`) again as
// provisioning made it, for the grant of `request`: the home and its .ssh,
// the end file, and the key line with `public_key`, the grant's options and
// its expiry-time; never into a path that exists. No key copy: the private
// key is kept nowhere. True when the home is as provisioning made it and the
// key line is exactly the one provisioning would write.
bool rebuild_home(const account_request& request, const std::string& user, unsigned uid, const std::string& public_key);

// True when the account's home is the directory provisioning made: a real
// directory of the account (or root's), not a link, holding a root-owned
// .ssh directory with root's key line in it.
bool home_is_as_made(const std::string& user, unsigned uid);

// Ends an account and deletes it: its authorized key first (a login that
// completes after that finds no key; skipped and logged when the home is not
// a directory the daemon made, so no link another user planted is
// followed), then its processes (waiting for them to be reaped), the
// account, its home directory and, with `key_copy`, its private-key copy.
// True when all of it is gone: the account, and every command succeeded.
bool remove_account(const char* function, const std::string& user, bool key_copy);

// Moves the end of an account's key to `end`: the end its session waits for
// (written first) and then the key line's expiry-time, the line replaced by
// a new file renamed over it in root's .ssh, so that the ssh server never
// reads half a line. Nothing is changed unless the home is as provisioning
// made it; when a step fails, the new line goes and the end goes back to
// `old_end` (logged when it cannot). True when the
// new end holds, with the key's fingerprint.
bool set_account_end(const std::string& user, unsigned uid, time_t old_end, time_t end, std::string& fingerprint);

// "SHA256:" and the unpadded base64 of the SHA-256 of the blob of the first
// key in the file (a public key file, or a key line with options), as
// ssh-keygen -l prints it; "unknown" for a file that holds no key.
std::string public_key_fingerprint(const std::string& path);

// SHA-256 of `data` (32 bytes), and base64 without padding.
std::string sha256(const std::string& data);
std::string base64_encode(const std::string& data);
bool base64_decode(const std::string& text, std::string& data);

#endif
