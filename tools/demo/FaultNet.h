// The render tool's last word on a fault no one handles: a plug-in of the user's that faults
// where nothing guards it (in its Init while the host loads it, in a decoder the tool reads).
// It says which module faulted and what the render was doing, removes what the render was still
// writing (the output's part files, the decoded copies) and ends the program with exit code 1.
#pragma once

#include <filesystem>
#include <string>

namespace faultnet {

// Takes over the process's handling of unhandled faults, and removes what a fault left behind
// in the temporary folder in an earlier run: the folders of the render's reference host and
// decoded copies whose program has ended (the plug-ins a fault leaves loaded hold their files
// until then).
void Install();

// What the render is doing while the object lives, for the message ("decoding a.flac with
// in_flac.dll"); the one before comes back when it goes.
class Doing {
  public:
    explicit Doing(const std::string &what);
    ~Doing();
    Doing(const Doing &) = delete;
    Doing &operator=(const Doing &) = delete;

  private:
    std::string before_;
};

// A folder of the render's own that a fault leaves behind otherwise: removed with all it holds.
void RemoveOnFault(const std::filesystem::path &folder);
void KeepOnFault(const std::filesystem::path &folder);
// The output's final name: its part files (of every run) are removed on a fault, the files of a
// render done before are left alone.
void RemovePartsOnFault(const std::filesystem::path &finalOutput);
// The output files are written: a fault from now on leaves them.
void OutputWritten();

} // namespace faultnet
