// Output files whose every write is checked. Data are gathered in memory and written at
// each Commit; a failed write throws WriteError naming the file and the reason, after
// cutting a regular file back to its last complete commit, so that what is on disk stays
// valid up to there. Standard output ("-") is written the same way; a closed pipe
// (EPIPE) is reported as such so that the caller can end the run cleanly.
#ifndef TQ4815_TOOL_OUTPUT_FILE_H
#define TQ4815_TOOL_OUTPUT_FILE_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tool {

struct WriteError : std::runtime_error {
    WriteError(const std::string &path, int error);
    int error;  // errno of the failed call
    bool PipeClosed() const;
};

class OutputFile {
public:
    // Opens (creating or truncating) `path`, or standard output for "-". Throws WriteError.
    explicit OutputFile(const std::string &path);
    ~OutputFile();
    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    const std::string &Path() const { return path_; }
    bool IsStream() const { return stream_; }
    void Append(std::string_view bytes) { pending_.append(bytes); }
    // Writes what was appended since the last commit. Throws WriteError.
    void Commit();
    // Overwrites bytes at `offset` (a regular file's header), without moving the end.
    void WriteAt(uint64_t offset, std::string_view bytes);
    // Commits and closes, checking the close as well. Throws WriteError.
    void Close();

private:
    std::string path_;
    int fd_ = -1;
    bool stream_ = false, regular_ = false;
    uint64_t committed_ = 0;
    std::string pending_;
};

// Writes `text` to `path` whole or not at all (a temporary file renamed over it).
void WriteFileAtomically(const std::string &path, const std::string &text);

// Refuses (UsageError) to replace an existing regular file unless `force`; devices,
// pipes and "-" are never "replaced".
void CheckReplace(const std::string &path, bool force);

// True when `path` names a regular file or nothing yet (not a device or a pipe).
bool IsRegularOrAbsent(const std::string &path);

// The output's name with its extension replaced by .json (or .json appended).
std::string SidePath(const std::string &path);

// The extension after the last dot of the file name, lower case ("" when none).
std::string Extension(const std::string &path);

}  // namespace tool

#endif
