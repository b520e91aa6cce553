#include "tools/ctl/poll_output.h"

#include <cstdio>

#include "host/oskit/system_text.h"
#include "tools/ctl/command_support.h"
#include "tools/ctl/table_layout.h"

namespace ctl {
namespace {

// A row a reading, in the reading schema.
class RowOutput final : public PollOutput {
public:
    explicit RowOutput(const Options& options)
        : options_(options), out_(options.format, ReadingColumns()) {}
    void Sample(const PollSample& s) override {
        out_.Row(ReadingCells(options_, s.station, *s.reg, s.reading, true, s.attemptTime,
                              ValueCell(s.reading), s.status, s.error));
    }
    void EndCycle(std::uint64_t, bool) override {}
    void Finish() override { out_.Finish(); }

private:
    const Options& options_;
    RecordWriter out_;
};

// CSV, a row a cycle: its time, then the value of every station and register in the order of
// the command line; a failed reading leaves its cell empty. A cycle cut short is not written, so
// that an empty cell always means a failed reading.
class WideOutput final : public PollOutput {
public:
    WideOutput(const Options& options, const std::vector<int>& stations,
               const std::vector<qm4720::Register>& registers)
        : options_(options), out_(Format::kCsv, Columns(stations, registers)) {}
    void Sample(const PollSample& s) override { cells_.push_back(ValueCell(s.reading)); }
    void EndCycle(std::uint64_t cycleTime, bool complete) override {
        if (complete) {
            cells_.insert(cells_.begin(), TimeCell(cycleTime, options_.time));
            out_.Row(cells_);
        }
        cells_.clear();
    }
    void Finish() override { out_.Finish(); }

private:
    static std::vector<std::string> Columns(const std::vector<int>& stations,
                                            const std::vector<qm4720::Register>& registers) {
        std::vector<std::string> columns{"time"};
        for (int station : stations) {
            for (const qm4720::Register& reg : registers)
                columns.push_back(std::to_string(station) + ":" + reg.mnemonic);
        }
        return columns;
    }

    const Options& options_;
    RecordWriter out_;
    std::vector<Cell> cells_;
};

// A text table a cycle in the reading schema. On a terminal it is drawn over the previous one and
// kept inside the window (rows that do not fit are counted on the last line); elsewhere each
// cycle's table is appended, whole, after a blank line.
class TableOutput final : public PollOutput {
public:
    explicit TableOutput(const Options& options)
        : options_(options), live_(host::StdoutIsTerminal()) {}
    void Sample(const PollSample& s) override {
        std::vector<std::string> texts;
        for (const Cell& cell :
             ReadingCells(options_, s.station, *s.reg, s.reading, true, s.attemptTime,
                          ValueCell(s.reading), s.status, s.error)) {
            texts.push_back(CellText(cell));
        }
        rows_.push_back(std::move(texts));
    }
    void EndCycle(std::uint64_t, bool) override {
        int columns = 0;
        int lines = 0;
        std::string text;
        if (live_ && host::StdoutTerminalSize(columns, lines)) {
            // Back to the first line of the previous table; one line is left for the cursor, so
            // that the window never scrolls the header away.
            if (drawn_ > 0) text += "\x1b[" + std::to_string(drawn_) + "A\r";
            const auto table =
                LayOutTable(ReadingColumns(), rows_, static_cast<std::size_t>(columns),
                            static_cast<std::size_t>(lines > 1 ? lines - 1 : 1));
            for (const std::string& line : table) text += "\x1b[K" + line + "\n";
            text += "\x1b[J";
            drawn_ = table.size();
        } else {
            if (drawn_ > 0) text += "\n";
            const auto table = LayOutTable(ReadingColumns(), rows_);
            for (const std::string& line : table) text += line + "\n";
            drawn_ = table.size();
        }
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
        rows_.clear();
    }
    void Finish() override {}

private:
    const Options& options_;
    const bool live_;
    std::size_t drawn_ = 0;
    std::vector<std::vector<std::string>> rows_;
};

}  // namespace

std::unique_ptr<PollOutput> MakePollOutput(const Options& options, const std::vector<int>& stations,
                                           const std::vector<qm4720::Register>& registers) {
    if (options.wide) return std::make_unique<WideOutput>(options, stations, registers);
    if (options.format == Format::kText) return std::make_unique<TableOutput>(options);
    return std::make_unique<RowOutput>(options);
}

}  // namespace ctl
