// BACKUP DATABASE, RESTORE DATABASE and RESTORE VERIFYONLY: one disk device
// and the WITH options a full backup of one database and its check and
// restore use. Anything else fails at its first token, as the parser does
// elsewhere.

#include "sqlserver-standin/tsql_parser_internal.h"

namespace standin::tsql {

void parser::backup_(statement& st) {
    const bool backup = next().upper == "BACKUP";
    auto b = std::make_shared<backup_clause>();
    st.kind = backup ? statement::backup : statement::restore;
    if (backup) {
        expect("DATABASE");
        st.name = {name_part()};
        expect("TO");
    } else if (accept("VERIFYONLY")) {
        b->what = backup_clause::restore_verifyonly;
        expect("FROM");
    } else {
        expect("DATABASE");
        b->what = backup_clause::restore_database;
        st.name = {name_part()};
        expect("FROM");
    }
    expect("DISK");
    expect_op("=");
    if (peek().kind != tok::string && peek().kind != tok::variable) fail();
    b->device = primary_();
    if (accept("WITH")) backup_options_(*b);
    st.backup_info = std::move(b);
}

void parser::backup_options_(backup_clause& b) {
    const bool backup = b.what == backup_clause::backup_database;
    do {
        const token& t = peek();
        if (t.kind != tok::ident) fail();
        const std::string& o = t.upper;
        if (o == "CHECKSUM") b.checksum = true;
        else if (o == "NO_CHECKSUM") b.no_checksum = true;
        else if (backup && o == "COPY_ONLY") b.copy_only = true;
        else if (backup && (o == "INIT" || o == "FORMAT")) b.init = true;
        else if (backup && (o == "NOINIT" || o == "NOFORMAT")) b.init = false;
        else if (backup && o == "NAME") {
            next();
            expect_op("=");
            if (peek().kind != tok::string) fail();
            b.name = peek().text;
        } else if (!backup && o == "FILE") {
            next();
            expect_op("=");
            if (peek().kind != tok::integer && peek().kind != tok::variable) fail();
            b.file = primary_();
            continue;
        } else if (b.what == backup_clause::restore_database && o == "REPLACE") b.replace = true;
        else if (b.what == backup_clause::restore_database && o == "RECOVERY") {
        } else fail();
        next();
    } while (accept_op(","));
}

}  // namespace standin::tsql
