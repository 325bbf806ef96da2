// The key's fingerprint for the audit line, computed here instead of by
// another ssh-keygen run: SHA-256 of the public key's blob, base64 without
// padding, as the ssh server logs it at each login.
#include <cstdint>

#include "accounts.h"

namespace {

const char* const alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

const uint32_t round_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t rotate(uint32_t x, int n)
{
    return (x >> n) | (x << (32 - n));
}

} // namespace

std::string sha256(const std::string& data)
{
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::string message = data + '\x80';
    message.append((64 - (message.size() + 8) % 64) % 64, '\0');
    const uint64_t bits = static_cast<uint64_t>(data.size()) * 8;
    for (int i = 7; i >= 0; --i)
        message += static_cast<char>((bits >> (8 * i)) & 0xff);
    for (size_t block = 0; block < message.size(); block += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            const unsigned char* b = reinterpret_cast<const unsigned char*>(message.data() + block + 4 * i);
            w[i] = static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
                   static_cast<uint32_t>(b[2]) << 8 | b[3];
        }
        for (int i = 16; i < 64; ++i) {
            const uint32_t s0 = rotate(w[i - 15], 7) ^ rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const uint32_t s1 = rotate(w[i - 2], 17) ^ rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
        for (int i = 0; i < 64; ++i) {
            const uint32_t t1 = k + (rotate(e, 6) ^ rotate(e, 11) ^ rotate(e, 25)) + ((e & f) ^ (~e & g)) +
                                round_constants[i] + w[i];
            const uint32_t t2 = (rotate(a, 2) ^ rotate(a, 13) ^ rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            k = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        const uint32_t add[8] = {a, b, c, d, e, f, g, k};
        for (int i = 0; i < 8; ++i)
            h[i] += add[i];
    }
    std::string digest;
    for (uint32_t word : h)
        for (int shift = 24; shift >= 0; shift -= 8)
            digest += static_cast<char>((word >> shift) & 0xff);
    return digest;
}

std::string base64_encode(const std::string& data)
{
    std::string text;
    uint32_t bits = 0;
    int count = 0;
    for (unsigned char c : data) {
        bits = (bits << 8) | c;
        count += 8;
        while (count >= 6) {
            count -= 6;
            text += alphabet[(bits >> count) & 0x3f];
        }
    }
    if (count > 0)
        text += alphabet[(bits << (6 - count)) & 0x3f];
    return text;
}

bool base64_decode(const std::string& text, std::string& data)
{
    uint32_t bits = 0;
    int count = 0;
    std::string::size_type end = text.find_last_not_of('=') + 1;
    if (end == 0 || text.size() - end > 2)
        return false;
    for (std::string::size_type i = 0; i < end; ++i) {
        const char* at = std::char_traits<char>::find(alphabet, 64, text[i]);
        if (!at)
            return false;
        bits = (bits << 6) | static_cast<uint32_t>(at - alphabet);
        count += 6;
        if (count >= 8) {
            count -= 8;
            data += static_cast<char>((bits >> count) & 0xff);
        }
    }
    return true;
}

std::string public_key_fingerprint(const std::string& path)
{
    // "[options] type base64-blob comment", where the options may hold
    // blanks inside quotes; the blob starts with the type again, as a
    // length-prefixed string.
    std::string text;
    if (!read_whole_file(path, text))
        return "unknown";
    std::vector<std::string> words(1);
    bool quoted = false;
    for (char c : text.substr(0, text.find('\n'))) {
        quoted = quoted != (c == '"');
        if (c == ' ' && !quoted)
            words.emplace_back();
        else
            words.back() += c;
    }
    for (size_t i = 0; i + 1 < words.size(); ++i) {
        std::string blob;
        if (base64_decode(words[i + 1], blob) && blob.size() >= 4 + words[i].size() && !words[i].empty() &&
            blob.compare(4, words[i].size(), words[i]) == 0)
            return "SHA256:" + base64_encode(sha256(blob));
    }
    return "unknown";
}
