#include "files.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace test {

TempDir::TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "pathvane-test.XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = templ;
}

TempDir::TempDir(std::string path) : path_(std::move(path)) {
    remove_tree(path_);
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    remove_tree(path_);
}

std::string TempDir::operator/(std::string_view name) const {
    return path_ + "/" + std::string(name);
}

void write_file(const std::string &path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string &path, bool *exists) {
    std::ifstream in(path, std::ios::binary);
    if (exists != nullptr)
        *exists = static_cast<bool>(in);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool file_exists(const std::string &path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

void make_dir(const std::string &path) {
    std::filesystem::create_directories(path);
}

void remove_tree(const std::string &path) {
    std::error_code ec;
    // Directories made unreadable by a test must still go.
    for (auto it = std::filesystem::recursive_directory_iterator(path, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec))
        std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path, ec);
}

std::vector<std::string> split_nul(std::string_view bytes) {
    std::vector<std::string> entries;
    while (!bytes.empty()) {
        std::size_t end = bytes.find('\0');
        entries.emplace_back(bytes.substr(0, end));
        bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
    }
    return entries;
}

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

} // namespace test
