// Throwaway directories and files for tests.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace test {

// A new empty directory, removed with all it holds when the object goes.
class TempDir {
  public:
    TempDir();
    explicit TempDir(std::string path); // takes `path` over, emptying it first
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    ~TempDir();

    const std::string &path() const { return path_; }
    std::string operator/(std::string_view name) const;

  private:
    std::string path_;
};

void write_file(const std::string &path, std::string_view bytes);
// The whole file; `exists` tells whether it could be read.
std::string read_file(const std::string &path, bool *exists = nullptr);
bool file_exists(const std::string &path);
void make_dir(const std::string &path);
void remove_tree(const std::string &path);

// `text` with each `from` replaced by `to`.
std::string replace_all(std::string text, std::string_view from, std::string_view to);

// Splits NUL-terminated entries, as the recorder writes argv and the environment.
std::vector<std::string> split_nul(std::string_view bytes);

} // namespace test
