#pragma once
// Every message the stand-in raises, numbered, classed and worded as SQL
// Server does: one catalogue, so that a number always comes with the same
// class and text wherever it is raised. A text's %1, %2, ... are filled in by
// the raiser. The state is where in SQL Server the message comes from; a
// raiser that stands for another place gives its own (in_state).

#include <initializer_list>
#include <string>
#include <string_view>

#include "sqlserver-standin/engine.h"

namespace standin {

struct error_def {
    int number;
    int severity;  // the class; 10 and below reach clients as INFO
    int state;
    const char* text;
    constexpr error_def in_state(int s) const { return {number, severity, s, text}; }
};

// The text with %1, %2, ... replaced by args in order.
std::string error_text(const error_def& d, std::initializer_list<std::string_view> args);

// The message as a reply carries it (line 1, outside any procedure).
server_message make_message(const error_def& d, std::initializer_list<std::string_view> args);
template <typename... Args>
server_message message_of(const error_def& d, const Args&... args) {
    return make_message(d, {std::string_view(args)...});
}

namespace errors {

// Messages that are no errors.
inline constexpr error_def print_text{0, 0, 1, "%1"};
inline constexpr error_def statement_terminated{3621, 0, 0, "The statement has been terminated."};
inline constexpr error_def database_changed{5701, 0, 2, "Changed database context to '%1'."};
inline constexpr error_def language_changed{5703, 0, 1, "Changed language setting to %1."};
inline constexpr error_def option_not_recognized{15625, 0, 1, "Option '%1' not recognized for '%2' parameter."};
inline constexpr error_def transactional_lock_outside_transaction{
    15626, 0, 1, "You attempted to acquire a transactional application lock without an active transaction."};

// Syntax: the parser's errors end the batch before anything runs.
inline constexpr error_def syntax_near{102, 15, 1, "Incorrect syntax near '%1'."};
inline constexpr error_def unclosed_quote{105, 15, 1, "Unclosed quotation mark after the character string '%1'."};
inline constexpr error_def must_be_first_in_batch{111, 15, 1, "'CREATE/ALTER %1' must be the first statement in a query batch."};
inline constexpr error_def syntax_near_keyword{156, 15, 1, "Incorrect syntax near the keyword '%1'."};
inline constexpr error_def nested_too_deeply{
    191, 16, 1, "Some part of your SQL statement is nested too deeply. Rewrite the query or break it up into smaller queries."};
inline constexpr error_def unknown_set_option{195, 15, 1, "'%1' is not a recognized SET option."};

// Names, types and the shape of statements.
inline constexpr error_def order_by_not_in_union_list{
    104, 16, 1, "ORDER BY items must appear in the select list if the statement contains a UNION, INTERSECT or EXCEPT operator."};
inline constexpr error_def order_by_position_out_of_range{
    108, 16, 1, "The ORDER BY position number %1 is out of range of the number of items in the select list."};
inline constexpr error_def fewer_values_than_columns{
    109, 15, 1,
    "There are more columns in the INSERT statement than values specified in the VALUES clause. The number of values in "
    "the VALUES clause must match the number of columns specified in the INSERT statement."};
inline constexpr error_def more_values_than_columns{
    110, 15, 1,
    "There are fewer columns in the INSERT statement than values specified in the VALUES clause. The number of values in "
    "the VALUES clause must match the number of columns specified in the INSERT statement."};
inline constexpr error_def subquery_not_one_column{
    116, 16, 1, "Only one expression can be specified in the select list when the subquery is not introduced with EXISTS."};
inline constexpr error_def positional_after_named{
    119, 15, 1,
    "Must pass parameter number %1 and subsequent parameters as '@name = value'. After the form '@name = value' has been "
    "used, all subsequent parameters must be passed in the form '@name = value'."};
inline constexpr error_def fewer_select_items_than_columns{
    120, 15, 1,
    "The select list for the INSERT statement contains fewer items than the insert list. The number of SELECT values must "
    "match the number of INSERT columns."};
inline constexpr error_def more_select_items_than_columns{
    121, 15, 1,
    "The select list for the INSERT statement contains more items than the insert list. The number of SELECT values must "
    "match the number of INSERT columns."};
inline constexpr error_def variable_declared_twice{
    134, 15, 1,
    "The variable name '%1' has already been declared. Variable names must be unique within a query batch or stored "
    "procedure."};
inline constexpr error_def undeclared_variable{137, 15, 2, "Must declare the scalar variable \"%1\"."};
inline constexpr error_def assignment_with_retrieval{
    141, 15, 1, "A SELECT statement that assigns a value to a variable must not be combined with data-retrieval operations."};
inline constexpr error_def function_argument_count{174, 15, 1, "The %1 function requires %2 argument(s)."};
inline constexpr error_def unknown_function{195, 15, 10, "'%1' is not a recognized built-in function name."};
inline constexpr error_def union_item_count{
    205, 16, 1,
    "All queries combined using a UNION, INTERSECT or EXCEPT operator must have an equal number of expressions in their "
    "target lists."};
inline constexpr error_def invalid_column{207, 16, 1, "Invalid column name '%1'."};
inline constexpr error_def invalid_object{208, 16, 1, "Invalid object name '%1'."};
inline constexpr error_def ambiguous_column{209, 16, 1, "Ambiguous column name '%1'."};
inline constexpr error_def insert_value_count{213, 16, 1, "Column name or number of supplied values does not match table definition."};
inline constexpr error_def unknown_cast_type{243, 16, 1, "Type %1 is not a defined system type."};
inline constexpr error_def select_without_table{263, 16, 1, "Must specify table to select from."};
inline constexpr error_def insert_column_twice{
    264, 16, 1,
    "The column name '%1' is specified more than once in the SET clause or column list of an INSERT. A column cannot be "
    "assigned more than one value in the same clause. Modify the clause to make sure that a column is updated only once. "
    "If this statement updates or inserts columns into a view, column aliasing can conceal the duplication in your code."};
inline constexpr error_def duplicate_exposed_names{
    1013, 16, 1,
    "The objects \"%1\" and \"%2\" in the FROM clause have the same exposed names. Use correlation names to distinguish "
    "them."};
inline constexpr error_def unknown_type{2715, 16, 6, "Column, parameter, or variable #%1: Cannot find data type %2."};
inline constexpr error_def unbound_identifier{4104, 16, 1, "The multi-part identifier \"%1\" could not be bound."};

// Values and conversions.
inline constexpr error_def datetime_conversion_failed{
    241, 16, 1, "Conversion failed when converting date and/or time from character string."};
inline constexpr error_def varchar_conversion_failed{
    245, 16, 1, "Conversion failed when converting the varchar value '%1' to data type %2."};
inline constexpr error_def null_not_allowed{
    515, 16, 2, "Cannot insert the value NULL into column '%1', table '%2.dbo.%3'; column does not allow nulls. %4 fails."};
inline constexpr error_def invalid_length{536, 16, 1, "Invalid length parameter passed to the %1 function."};
inline constexpr error_def invalid_substring_length{537, 16, 3, "Invalid length parameter passed to the substring function."};
inline constexpr error_def duplicate_key{
    2627, 14, 1,
    "Violation of PRIMARY KEY constraint '%1'. Cannot insert duplicate key in object 'dbo.%2'. The duplicate key value "
    "is (%3)."};
inline constexpr error_def conversion_error{8114, 16, 5, "Error converting data type %1 to %2."};
inline constexpr error_def arithmetic_overflow{8115, 16, 2, "Arithmetic overflow error converting %1 to data type %2."};
inline constexpr error_def divide_by_zero{8134, 16, 1, "Divide by zero error encountered."};
inline constexpr error_def string_truncated{8152, 16, 14, "String or binary data would be truncated."};

// Objects, tables and keys.
inline constexpr error_def system_catalog_update{259, 16, 1, "Ad hoc updates to system catalogs are not allowed."};
inline constexpr error_def identity_insert_off{
    544, 16, 1, "Cannot insert explicit value for identity column in table '%1' when IDENTITY_INSERT is set to OFF."};
inline constexpr error_def duplicate_key_in_new_index{
    1505, 16, 1,
    "The CREATE UNIQUE INDEX statement terminated because a duplicate key was found for the object name 'dbo.%1' and "
    "the index name '%2'."};
inline constexpr error_def table_has_primary_key{1779, 16, 0, "Table '%1' already has a primary key defined on it."};
inline constexpr error_def key_column_missing{1911, 16, 1, "Column name '%1' does not exist in the target table or view."};
inline constexpr error_def duplicate_column{
    2705, 16, 3, "Column names in each table must be unique. Column name '%1' in table '%2' is specified more than once."};
inline constexpr error_def object_exists{2714, 16, 6, "There is already an object named '%1' in the database."};
inline constexpr error_def cannot_drop{
    3701, 11, 5, "Cannot drop the %1 '%2', because it does not exist or you do not have permission."};
inline constexpr error_def column_not_addable{
    4901, 16, 1,
    "ALTER TABLE only allows columns to be added that can contain nulls, or have a DEFAULT definition specified, or the "
    "column being added is an identity or timestamp column, or alternatively if none of the previous conditions are "
    "satisfied the table must be empty to allow addition of this column. Column '%1' cannot be added to non-empty table "
    "'%2' because it does not satisfy these conditions."};
inline constexpr error_def altered_table_missing{
    4902, 16, 1, "Cannot find the object \"%1\" because it does not exist or you do not have permissions."};
inline constexpr error_def dropped_column_missing{
    4924, 16, 1, "ALTER TABLE DROP COLUMN failed because column '%1' does not exist in table '%2'."};
inline constexpr error_def column_has_dependent{5074, 16, 1, "The object '%1' is dependent on column '%2'."};
inline constexpr error_def identity_needs_column_list{
    8101, 16, 1,
    "An explicit value for the identity column in table '%1' can only be specified when a column list is used and "
    "IDENTITY_INSERT is ON."};
inline constexpr error_def identity_updated{8102, 16, 1, "Cannot update identity column '%1'."};
inline constexpr error_def multiple_primary_keys{8110, 16, 0, "Cannot add multiple PRIMARY KEY constraints to table '%1'."};
inline constexpr error_def nullable_key_column{
    8111, 16, 1, "Cannot define PRIMARY KEY constraint on nullable column in table '%1'."};
inline constexpr error_def trigger_table_missing{
    8197, 16, 4, "The object '%1' does not exist or is invalid for this operation."};

// Procedures and their parameters.
inline constexpr error_def parameter_not_supplied{
    201, 16, 4, "Procedure or function '%1' expects parameter '%2', which was not supplied."};
inline constexpr error_def nesting_limit{
    217, 16, 1, "Maximum stored procedure, function, trigger, or view nesting level exceeded (limit 32)."};
inline constexpr error_def unknown_procedure{2812, 16, 62, "Could not find stored procedure '%1'."};
inline constexpr error_def parameter_given_twice{8143, 16, 1, "Parameter '%1' was supplied multiple times."};
inline constexpr error_def too_many_arguments{8144, 16, 2, "Procedure or function %1 has too many arguments specified."};
inline constexpr error_def not_a_parameter{8145, 16, 2, "%1 is not a parameter for procedure %2."};
inline constexpr error_def object_missing_in_database{
    15009, 16, 1, "The object '%1' does not exist in database '%2' or is invalid for this operation."};
inline constexpr error_def no_text_for_object{15197, 16, 1, "There is no text for object '%1'."};
inline constexpr error_def text_encrypted{15471, 16, 1, "The text for object '%1' is encrypted."};

// Transactions and locks.
inline constexpr error_def save_outside_transaction{
    628, 16, 0, "Cannot issue SAVE TRANSACTION when there is no active transaction."};
inline constexpr error_def principal_missing{
    1202, 16, 1, "The database-principal '%1' does not exist or user is not a member."};
inline constexpr error_def lock_timeout{1222, 16, 51, "Lock request time out period exceeded."};
inline constexpr error_def application_lock_not_held{
    1223, 16, 1,
    "Cannot release the application lock (Database Principal: '%1', Resource: '%2') because it is not currently held."};
inline constexpr error_def application_lock_resource_invalid{
    1224, 16, 5, "An invalid application lock resource was passed to xp_userlock."};
inline constexpr error_def application_lock_timeout_invalid{
    1227, 16, 2, "An invalid application lock time-out was passed to xp_userlock."};
inline constexpr error_def application_lock_principal_invalid{
    1230, 16, 1, "An invalid database principal was passed to xp_userlock."};
inline constexpr error_def commit_without_begin{
    3902, 16, 1, "The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION."};
inline constexpr error_def rollback_without_begin{
    3903, 16, 1, "The ROLLBACK TRANSACTION request has no corresponding BEGIN TRANSACTION."};
inline constexpr error_def no_such_savepoint{
    6401, 16, 1, "Cannot roll back %1. No transaction or savepoint of that name was found."};
inline constexpr error_def needs_user_transaction{
    3918, 16, 1, "The statement or function must be executed in the context of a user transaction."};

// Databases and logins.
inline constexpr error_def create_database_in_transaction{
    226, 16, 6, "CREATE DATABASE statement not allowed within multi-statement transaction."};
inline constexpr error_def unknown_database{
    911, 16, 1, "Database '%1' does not exist. Make sure that the name is entered correctly."};
inline constexpr error_def database_gone{911, 16, 1, "Database does not exist."};
inline constexpr error_def database_exists{1801, 16, 3, "Database '%1' already exists. Choose a different database name."};
inline constexpr error_def database_in_use{3702, 16, 4, "Cannot drop database \"%1\" because it is currently in use."};
inline constexpr error_def login_database_unavailable{
    4060, 11, 1, "Cannot open database \"%1\" requested by the login. The login failed."};
inline constexpr error_def create_file_failed{
    5123, 16, 1,
    "CREATE FILE encountered operating system error while attempting to open or create the physical file: %1"};
inline constexpr error_def login_failed{18456, 14, 1, "Login failed for user '%1'."};
inline constexpr error_def unsupported_tds_version{
    17802, 20, 1,
    "The Tabular Data Stream (TDS) version 0x%1 of the client library used to open the connection is unsupported "
    "or unknown. The connection has been closed."};

// Dates.
inline constexpr error_def unknown_datepart{155, 15, 1, "'%1' is not a recognized %2 option."};
inline constexpr error_def datetime_overflow{517, 16, 1, "Adding a value to a '%1' column caused an overflow."};
inline constexpr error_def datediff_overflow{
    535, 16, 0,
    "The datediff function resulted in an overflow. The number of dateparts separating two date/time instances is too "
    "large. Try to use datediff with a less precise datepart."};

// Backup and restore (backup.cpp, exec_backup.cpp). %1 of 3013 and 3014 is
// the operation: BACKUP DATABASE, RESTORE DATABASE, VERIFY DATABASE.
inline constexpr error_def backup_terminating{3013, 16, 1, "%1 is terminating abnormally."};
inline constexpr error_def backup_processed{3014, 10, 1, "%1 successfully processed %2 pages in %3 seconds (%4 MB/sec)."};
inline constexpr error_def backup_in_transaction{3021, 16, 0, "Cannot perform a backup or restore operation within a transaction."};
inline constexpr error_def exclusive_access_failed{3101, 16, 1, "Exclusive access could not be obtained because the database is in use."};
inline constexpr error_def in_use_by_this_session{
    3102, 16, 1,
    "%1 cannot process database '%2' because it is in use by this session. It is recommended that the master database "
    "be used when performing this operation."};
inline constexpr error_def backup_of_other_database{
    3154, 16, 4, "The backup set holds a backup of a database other than the existing '%1' database."};
inline constexpr error_def backup_without_checksums{
    3187, 16, 1, "RESTORE WITH CHECKSUM cannot be specified because the backup set does not contain checksum information."};
inline constexpr error_def backup_set_damaged{3189, 16, 1, "Damage to the backup set was detected."};
inline constexpr error_def cannot_open_backup_device{3201, 16, 1, "Cannot open backup device '%1'. Operating system error %2."};
inline constexpr error_def media_family_malformed{
    3241, 16, 0, "The media family on device '%1' is incorrectly formed. SQL Server cannot process this media family."};
inline constexpr error_def backup_volume_empty{3254, 16, 1, "The volume on device '%1' is empty."};
inline constexpr error_def backup_set_valid{3262, 10, 1, "The backup set on file %1 is valid."};
inline constexpr error_def backup_file_processed{4035, 10, 1, "Processed %1 pages for database '%2', file '%3' on file %4."};
inline constexpr error_def backup_set_not_found{4038, 16, 1, "Cannot find file ID %1 on device '%2'."};

// The protocol.
inline constexpr error_def rpc_stream_incorrect{
    8009, 16, 1, "The incoming tabular data stream (TDS) remote procedure call (RPC) protocol stream is incorrect: %1."};
inline constexpr error_def unknown_prepared_statement{8179, 16, 1, "Could not find prepared statement with handle %1."};

// The stand-in's own failures.
inline constexpr error_def internal_error{50000, 16, 1, "Internal error: %1"};
inline constexpr error_def server_internal_error{50000, 16, 1, "sqlserver-standin internal error: %1"};
inline constexpr error_def unsupported_transaction_request{
    50000, 16, 1, "Transaction manager request %1 is not supported by sqlserver-standin."};

}  // namespace errors

namespace detail {

// An error on its way from where the engine raises it to the reply: besides
// the message, how far it reaches.
struct tsql_error {
    int number;
    int state;
    int severity;
    std::string text;
    bool abort_batch = false;
    bool rollback_tran = false;
    bool terminated = false;  // followed by "The statement has been terminated."
};

tsql_error make_error(const error_def& d, std::initializer_list<std::string_view> args, bool abort_batch);
tsql_error make_error(const server_message& m);

// An error that ends its statement (and what the statement's kind decides).
template <typename... Args>
tsql_error err(const error_def& d, const Args&... args) {
    return make_error(d, {std::string_view(args)...}, false);
}

// An error found while compiling a statement: it ends the batch.
template <typename... Args>
tsql_error compile_err(const error_def& d, const Args&... args) {
    return make_error(d, {std::string_view(args)...}, true);
}

}  // namespace detail

}  // namespace standin
