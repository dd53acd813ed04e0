// A private temporary directory, removed with everything in it on destruction.
#pragma once

#include <string>

namespace sgtest {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // A subdirectory created with mode 0700.
    std::string make_subdir(const std::string& name) const;

  private:
    std::string path_;
};

}  // namespace sgtest
