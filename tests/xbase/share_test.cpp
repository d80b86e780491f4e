// This program and another one on one table, as two Visual FoxPro programs would be: the other
// program is lorf-dbf, run to its end while this one holds the table. Its opens go through the
// same engine, so on Windows this is the system's share modes at work, here its locks.
#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "../common/run_program.h"
#include "engine_helpers.h"
#include "temp_dir.h"
#include "xbase/dbf.h"

using namespace xbase;

TEST(Programs, SharingATableFollowsTheOpens) {
    struct Case {
        std::optional<Share> held;  // none: the table is free
        const char* command;        // info opens shared, pack exclusively
        bool refused;
    };
    const Case cases[] = {{std::nullopt, "info", false},    {std::nullopt, "pack", false},
                          {Share::Shared, "info", false},   {Share::Shared, "pack", true},
                          {Share::Exclusive, "info", true}, {Share::Exclusive, "pack", true}};
    TempDir dir;
    TableDef def;
    def.fields = {{"GRUP", 'C', 5, 0}, {"NNUM", 'C', 13, 0}};
    def.tags = {{"PAIR", "GRUP+NNUM", "", false, false}};
    const std::string path = dir.file("SHARE.DBF");
    createTable(path, def);
    for (const Case& c : cases) {
        std::unique_ptr<Table> mine;
        if (c.held) {
            OpenOptions o;
            o.share = *c.held;
            o.readOnly = false;  // the accounting system's opens write
            mine = Table::open(path, o);
        }
        const std::string output = dir.file("out.txt");
        const int status = testproc::runProgram(LORF_DBF_PROGRAM, {c.command, path}, output);
        const std::string said = testhelp::fileBytes(output);
        const std::string what = std::string(c.command) + " while held " +
                                 (!c.held                       ? "by nobody"
                                  : *c.held == Share::Exclusive ? "exclusively"
                                                                : "shared");
        ASSERT_NE(status, -1) << what;
        if (c.refused) {
            EXPECT_NE(status, 0) << what;
            EXPECT_NE(said.find("in use"), std::string::npos) << what << ": " << said;
        } else {
            EXPECT_EQ(status, 0) << what << ": " << said;
        }
    }
}
