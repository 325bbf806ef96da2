// The key's fingerprint for the audit line, computed here instead of by
// another ssh-keygen run: SHA-256 of the public key's blob, base64 without
// padding, as the ssh server logs it at each login. The digest and the
// base64 are the system crypto library's.
#include <openssl/evp.h>

#include "accounts.h"

std::string sha256(const std::string& data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(), nullptr))
        return std::string();
    return std::string(reinterpret_cast<const char*>(digest), size);
}

std::string base64_encode(const std::string& data)
{
    std::string text(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int size = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]),
                                     reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
    text.resize(static_cast<size_t>(size));
    return text.substr(0, text.find_last_not_of('=') + 1);
}

bool base64_decode(const std::string& text, std::string& data)
{
    // Whole groups of four, at most two of them padding: EVP_DecodeBlock
    // counts the padding as zero bytes.
    const std::string::size_type padding = text.size() - (text.find_last_not_of('=') + 1);
    if (text.empty() || text.size() % 4 != 0 || padding > 2)
        return false;
    std::string bytes(text.size() / 4 * 3, '\0');
    const int size = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&bytes[0]),
                                     reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (size < 0 || static_cast<size_t>(size) < padding)
        return false;
    data.append(bytes, 0, static_cast<size_t>(size) - padding);
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
