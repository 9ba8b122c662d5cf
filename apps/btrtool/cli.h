// What every btrtool command shares: its arguments, the error it raises for
// bad usage, and the progress bar.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace btr::tool {

// Bad usage: reported with the command's usage line, exit status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A command's arguments: positionals in order, options by name. Options are
// "--name value" or "--name=value"; flags are options declared without value.
class Args {
public:
    Args(std::vector<std::string> words, const std::vector<std::string>& flags);

    size_t Count() const { return FPositional.size(); }
    const std::string& At(size_t i, const char* what) const;
    std::optional<std::string> Option(const std::string& name) const;
    std::vector<std::string> Options(const std::string& name) const; // every occurrence
    bool Flag(const std::string& name) const;
    long Number(const std::string& name, long fallback) const;
    // Fails on positionals beyond `max` and options nobody asked for.
    void Expect(size_t min, size_t max, const std::vector<std::string>& known) const;

private:
    std::vector<std::string> FPositional;
    std::multimap<std::string, std::string> FOptions;
};

struct Command {
    std::string name;  // "dict create"
    std::string usage; // the arguments, for --help and usage errors
    std::string help;  // one paragraph
    std::vector<std::string> flags;
    std::function<int(const Args&)> run;
    int failStatus = 1; // the exit status of an error (find: 2, as grep)
};

// The table of every command, defined by the command files.
std::vector<Command>& Commands();
struct RegisterCommand {
    explicit RegisterCommand(Command c) { Commands().push_back(std::move(c)); }
};

// Questions and the library's message boxes. A question is answered yes
// under --yes (or --force), asked on a terminal when there is one, and
// answered no otherwise: nothing is replaced unasked.
void SetAnswerYes(bool yes);
// Answers yes from now on without asking: for the library's questions about
// files the user already agreed to replace.
void AgreeSilently();
bool Ask(const std::string& question);
// The file the library's next questions are about, named when they are asked.
void SetSubject(const std::string& file);
// Errors the library reported in a message box (a read error in the middle
// of a scan, which the dataset answers as the end of the records): kept to
// be printed once, with the command's failure.
std::vector<std::string>& ShownErrors();
// Raises the first shown error, so that a command that met one fails.
void ThrowShownErrors();
// Installs the message-box handler behind Ask and ShownErrors.
void InstallMessageBoxes(const std::string& command);

// A file written whole or not at all: the text goes to a temporary file
// beside it, renamed into place by Commit. "-" is standard output.
class OutputFile {
public:
    explicit OutputFile(const std::string& path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    FILE* Stream() const { return FStream; }
    bool IsStdout() const { return FPath == "-"; }
    void Commit();

private:
    std::string FPath, FTemp;
    FILE* FStream = nullptr;
};

// A bar on standard error for work that takes more than a second; silent
// when standard error is not a terminal or the work ends sooner.
class Progress {
public:
    Progress(std::string label, uint64_t total);
    ~Progress();
    void Step(uint64_t n = 1);
    void Done();

private:
    void Draw(bool final);

    std::string FLabel;
    uint64_t FTotal, FDone = 0;
    bool FTerminal, FShown = false, FFinished = false;
    std::chrono::steady_clock::time_point FStart, FLastDraw;
};

} // namespace btr::tool
