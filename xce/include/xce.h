/* The client engine's C API. Every function returns a 32-bit result, 0 on
   success; on failure XdsGetLastError gives the code and an English text that
   names the file concerned. Handles are 32-bit, 0 is none; a stale or foreign
   handle gives an error, never a crash. Strings are NUL-terminated; flags
   (0 or 1) and counts are 16-bit, record numbers 32-bit. Fields are numbered
   from 1.

   A handle that "moves" (GotoTop, GotoBottom, Skip, IsRecordVisible, counts,
   bookmarks) may be a table handle (record-number order) or an index handle
   (that index's order); both share the table's one record pointer. */
#ifndef XCE_H_
#define XCE_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t XDSRESULT;
typedef uint32_t XDSHANDLE;

/* A result that may be a failure must be looked at: callers that ignore
   such an XDSRESULT get a compiler warning. A C++ caller for whom a failure
   truly does not matter says so with a cast to void and a comment. */
#if defined(__cplusplus)
#define XDS_NODISCARD [[nodiscard]]
#elif defined(__GNUC__)
#define XDS_NODISCARD __attribute__((warn_unused_result))
#else
#define XDS_NODISCARD
#endif

/* ---- Result codes -------------------------------------------------------- */

#define XDS_ERR_NO_BUFFER 5005
#define XDS_ERR_NOT_CUSTOM 5017        /* the index is not a custom index */
#define XDS_ERR_BAD_RECORD_NUMBER 5022 /* GotoRecord to a number that names no record */
#define XDS_ERR_DISCONNECT 5024        /* no live connection */
#define XDS_ERR_NO_FILTER 5037         /* no filter or optimized filter is set */
#define XDS_ERR_NO_SCOPE 5038          /* the scope asked for is not set */
#define XDS_ERR_NO_KEY_POSITION 5041   /* the record has no position in the order */
#define XDS_ERR_NO_PERMISSION 5054     /* the table or field refuses the write */
#define XDS_ERR_STATIC_VIEW 5064       /* the view cannot be edited */
#define XDS_ERR_NO_CURRENT_RECORD 5068 /* moved past either end */
#define XDS_ERR_NO_UPDATE_PENDING 5085 /* CancelUpdate with nothing to cancel */
#define XDS_ERR_NOT_FOUND 5132         /* table, memo file or directory missing */
#define XDS_ERR_INVALID_HANDLE 6001    /* 0, stale, foreign or wrong kind of handle */
#define XDS_ERR_IO 6002                /* the system refused a read, write or rename */
#define XDS_ERR_LOCKED 6003            /* file or record held by another open */
#define XDS_ERR_CORRUPT 6004           /* damaged table or memo file */
#define XDS_ERR_BAD_ARGUMENT 6005      /* null pointer, bad option or value */
#define XDS_ERR_READ_ONLY 6006         /* write to a table opened read-only */
#define XDS_ERR_INDEX_PROTECTED 6007   /* write to a table whose structural index is not kept */
#define XDS_ERR_BUFFER_TOO_SMALL 6008
#define XDS_ERR_NOT_SUPPORTED 6009
#define XDS_ERR_EXCLUSIVE_REQUIRED 6010 /* pack and zap need an exclusive open */
#define XDS_ERR_NUMERIC_OVERFLOW 6011   /* value does not fit the field */
#define XDS_ERR_BAD_FIELD 6012          /* field number or name that does not exist */
#define XDS_ERR_EXISTS 6013             /* create over an existing table, memo or index */
#define XDS_ERR_FIELD_NOT_WRITABLE 6014 /* value given for an autoincrement field */
/* The index files' own codes (CDX files and their tags). */
#define XDS_ERR_INDEX_CORRUPT 6020      /* the index file's bytes contradict the format */
#define XDS_ERR_INDEX_IO 6021           /* reading or writing the index file failed */
#define XDS_ERR_TAG_NOT_FOUND 6022      /* no tag of that name */
#define XDS_ERR_TAG_EXISTS 6023         /* a tag of that name exists already */
#define XDS_ERR_BAD_TAG_DEFINITION 6024 /* tag name, key length or expression unusable */
#define XDS_ERR_INDEX_READ_ONLY 6025    /* the index file was opened for reading only */
#define XDS_ERR_COLLATION 6026          /* a tag was built under another collation */
/* XDS_ERR_EXPRESSION (5190), an invalid expression, is with the filters below. */

/* ---- Constants ---------------------------------------------------------- */

#define XDS_SERVER_LOCAL 1

#define XDS_TABLE_NTX 1
#define XDS_TABLE_CDX 2
#define XDS_TABLE_XDT 3

#define XDS_CHAR_ANSI 1 /* text stored in Windows-1251 */
#define XDS_CHAR_OEM 2  /* text stored in 866, converted on the way in and out */

#define XDS_LOCK_COMPATIBLE 0
#define XDS_LOCK_PROPRIETARY 1

#define XDS_RIGHTS_CHECK 1
#define XDS_RIGHTS_IGNORE 2

#define XDS_OPEN_EXCLUSIVE 0x1
#define XDS_OPEN_READONLY 0x2
#define XDS_OPEN_REINDEX_ON_COLLATION_MISMATCH 0x100
#define XDS_OPEN_IGNORE_COLLATION_MISMATCH 0x200
/* With XDS_OPEN_EXCLUSIVE: index pages changed by writes are written at
   XdsFlushTable and at close (or when many are held), not with each record,
   so the index files lag behind the table until then; the keys of appended
   records are held too and go into each tag in one sorted pass at the flush,
   or as soon as the tag is read. For a writer that keeps the files safe by
   other means, e.g. working on copies of them. */
#define XDS_OPEN_DEFER_INDEX_WRITES 0x400
/* Bits added by XdsGetTableOpenOptions when the table may be written. */
#define XDS_OPEN_UPDATE_ALLOWED 0x20
#define XDS_OPEN_INSERT_ALLOWED 0x40

/* Column permission bits (XdsGetColumnPermissions). */
#define XDS_PERMISSION_READ 1
#define XDS_PERMISSION_UPDATE 2
#define XDS_PERMISSION_INSERT 4

/* Engine field types (XdsGetFieldType). DBF letters map as: L 1; N, F 2;
   D 3; C, V 4; M 5; W 6; G, P 7; B, O 10; I 11; I with autoincrement 15;
   T 14; Y 17; Q and unusual lengths 16; hidden system fields 0. */
#define XDS_TYPE_LOGICAL 1
#define XDS_TYPE_NUMERIC 2
#define XDS_TYPE_DATE 3
#define XDS_TYPE_STRING 4
#define XDS_TYPE_MEMO 5
#define XDS_TYPE_BINARY 6
#define XDS_TYPE_IMAGE 7
#define XDS_TYPE_VARCHAR 8
#define XDS_TYPE_DOUBLE 10
#define XDS_TYPE_INTEGER 11
#define XDS_TYPE_TIMESTAMP 14
#define XDS_TYPE_AUTOINC 15
#define XDS_TYPE_RAW 16
#define XDS_TYPE_CURRENCY 17

/* Options of XdsGetRecordCount and XdsGetRecordNum. */
#define XDS_COUNT_RESPECT_FILTERS 1
#define XDS_COUNT_IGNORE_FILTERS 2
#define XDS_COUNT_RESPECT_SCOPES 3
#define XDS_COUNT_FRESH 4 /* added: re-read the count from disk */

/* XdsGetField options. */
#define XDS_GET_NO_TRIM 0
#define XDS_GET_TRIM 1 /* drop trailing blanks of character fields */

/* ---- Connections -------------------------------------------------------- */

/* Connects to a directory of tables. serverTypes must include local (1);
   user, password and options are accepted and not used locally. */
XDS_NODISCARD XDSRESULT XdsConnect60(const char* path, uint16_t serverTypes, const char* user,
                       const char* password, uint32_t options, XDSHANDLE* connection);
/* Closes every table opened on the connection, then releases it. A handle
   that is no live connection gives 5024. */
XDS_NODISCARD XDSRESULT XdsDisconnect(XDSHANDLE connection);

/* ---- Tables ------------------------------------------------------------- */

/* Opens a table. path is relative to the connection's directory or absolute;
   "\" counts as "/", ".dbf" is added when there is no extension, and the
   name is matched without regard to letter case (the memo file likewise).
   alias may be NULL. tableType: CDX 2 (0 taken as CDX). charType: ANSI 1 or
   OEM 2. lockType: 0 or 1. rights: 1 or 2. options: exclusive 1, read-only 2,
   0x100 and 0x200 accepted. An exclusive open is refused while any other
   open of the file exists, in this or another process, and vice versa.
   A table whose header announces a structural CDX opens, but every write to
   it is refused unless its index is maintained. */
XDS_NODISCARD XDSRESULT XdsOpenTable(XDSHANDLE connection, const char* path, const char* alias,
                       uint16_t tableType, uint16_t charType, uint16_t lockType, uint16_t rights,
                       uint32_t options, XDSHANDLE* table);
/* Writes what is pending and buffered, releases locks and files; index
   handles of the table become invalid. */
XDS_NODISCARD XDSRESULT XdsCloseTable(XDSHANDLE table);
/* The options given to the open call, plus XDS_OPEN_UPDATE_ALLOWED and
   XDS_OPEN_INSERT_ALLOWED when the table may be written. */
XDS_NODISCARD XDSRESULT XdsGetTableOpenOptions(XDSHANDLE table, uint32_t* options);
XDS_NODISCARD XDSRESULT XdsGetTableType(XDSHANDLE table, uint16_t* tableType);

/* One field of a new table: name (up to 10 letters, digits, "_"), DBF type
   letter (C N F D L M I B T Y), length and decimals. Lengths of D L M I B T Y
   are implied and may be given as 0. */
typedef struct XDSFIELDDEF {
  const char* name;
  char type;
  uint16_t length;
  uint16_t decimals;
} XDSFIELDDEF;
/* Creates an empty table (and its FPT memo file when it has memo fields).
   Tables with only C N F D L M fields are written in the FoxPro 2 form, any
   I B T Y field makes a Visual FoxPro table. charType selects the code page
   mark: ANSI 1 (1251) or OEM 2 (866). Fails when the table exists. */
XDS_NODISCARD XDSRESULT XdsCreateTable(XDSHANDLE connection, const char* path, uint16_t charType,
                         uint16_t fieldCount, const XDSFIELDDEF* fields);

/* ---- Description -------------------------------------------------------- */

XDS_NODISCARD XDSRESULT XdsGetNumFields(XDSHANDLE table, uint16_t* count);
/* name: buffer of *length bytes; on return *length is the name's length. */
XDS_NODISCARD XDSRESULT XdsGetFieldName(XDSHANDLE table, uint16_t field, char* name, uint16_t* length);
/* Field number by name, letter case ignored. */
XDS_NODISCARD XDSRESULT XdsGetFieldNumber(XDSHANDLE table, const char* name, uint16_t* field);
XDS_NODISCARD XDSRESULT XdsGetFieldType(XDSHANDLE table, uint16_t field, uint16_t* type);
/* The DBF type letter of the field ('C', 'N', ...). */
XDS_NODISCARD XDSRESULT XdsGetFieldTypeLetter(XDSHANDLE table, uint16_t field, char* letter);
XDS_NODISCARD XDSRESULT XdsGetFieldLength(XDSHANDLE table, uint16_t field, uint16_t* length);
XDS_NODISCARD XDSRESULT XdsGetFieldDecimals(XDSHANDLE table, uint16_t field, uint16_t* decimals);
/* Offset inside the record image; byte 0 is the deletion flag. */
XDS_NODISCARD XDSRESULT XdsGetFieldOffset(XDSHANDLE table, uint16_t field, uint16_t* offset);
/* Record image length, deletion flag included. */
XDS_NODISCARD XDSRESULT XdsGetRecordLength(XDSHANDLE table, uint32_t* length);
XDS_NODISCARD XDSRESULT XdsGetColumnPermissions(XDSHANDLE table, uint16_t field, uint16_t* permissions);

/* ---- Movement ----------------------------------------------------------- */

/* First / last visible record; on an empty view both EOF and BOF are set. */
XDS_NODISCARD XDSRESULT XdsGotoTop(XDSHANDLE handle);
XDS_NODISCARD XDSRESULT XdsGotoBottom(XDSHANDLE handle);
/* Moves count visible records (negative: backwards). Moving past the last
   record sets EOF, before the first sets BOF; both give 5068. A pending
   change of the current record is written first. */
XDS_NODISCARD XDSRESULT XdsSkip(XDSHANDLE handle, int32_t count);
/* Goes to a record by number whatever filters say; 5022 when no record has
   that number (the position is then unchanged). */
XDS_NODISCARD XDSRESULT XdsGotoRecord(XDSHANDLE table, uint32_t recno);
/* Current record number (0 before the first, count + 1 after the last or on
   a record being appended). option as in XdsGetRecordCount. */
XDS_NODISCARD XDSRESULT XdsGetRecordNum(XDSHANDLE handle, uint16_t option, uint32_t* recno);
XDS_NODISCARD XDSRESULT XdsAtEOF(XDSHANDLE handle, uint16_t* atEof);
XDS_NODISCARD XDSRESULT XdsAtBOF(XDSHANDLE handle, uint16_t* atBof);
/* Bookmarks: XdsGetBookmark gives the record number; XdsGetBookmark60 the
   bookmark bytes (XdsGetBookmarkLength of them; the first 4 are the record
   number, native byte order). */
XDS_NODISCARD XDSRESULT XdsGetBookmark(XDSHANDLE handle, uint32_t* bookmark);
XDS_NODISCARD XDSRESULT XdsGetBookmark60(XDSHANDLE handle, void* bookmark, uint16_t* length);
XDS_NODISCARD XDSRESULT XdsGetBookmarkLength(XDSHANDLE handle, uint16_t* length);
XDS_NODISCARD XDSRESULT XdsGotoBookmark(XDSHANDLE handle, uint32_t bookmark);
/* -1, 0 or 1 by the positions of two bookmarks in the handle's order. */
XDS_NODISCARD XDSRESULT XdsCompareBookmarks(XDSHANDLE handle, const void* a, const void* b, int16_t* result);
/* option: 1 visible records, 2 all records, 3 records in scope; + 4 fresh. */
XDS_NODISCARD XDSRESULT XdsGetRecordCount(XDSHANDLE handle, uint16_t option, uint32_t* count);
/* Whether the current record passes the deleted setting and the filters;
   5068 when there is no current record. */
XDS_NODISCARD XDSRESULT XdsIsRecordVisible(XDSHANDLE handle, uint16_t* visible);
/* Where a record-at-a-time reader stands after XdsFetchRecord. */
typedef struct XDSFETCHINFO {
  uint16_t atEof;
  uint16_t atBof;
  uint16_t visible;        /* 1 when the record was delivered */
  uint16_t bookmarkLength; /* in: room at bookmark; out: bytes written */
  uint32_t recno;          /* the record number, filters ignored */
} XDSFETCHINFO;
/* One step of a reader in one call: moves count visible records on handle
   (0 stays; running off an end is no failure, the end flags say it), then,
   unless the cursor is at an end, tells whether the current record passes
   the filters and, when it does, copies its image as XdsGetRecord does
   (length is the buffer size) and its bookmark as XdsGetBookmark60 does. */
XDS_NODISCARD XDSRESULT XdsFetchRecord(XDSHANDLE handle, int32_t count, void* record, uint32_t length,
                         void* bookmark, XDSFETCHINFO* info);
/* Records read ahead during sequential movement; 0 reads one at a time. */
XDS_NODISCARD XDSRESULT XdsCacheRecords(XDSHANDLE handle, uint16_t count);

/* ---- Reading and writing ------------------------------------------------ */

/* Copies the current record image (XdsGetRecordLength bytes; length is the
   buffer size). Character fields are as stored; currency fields (type 17)
   are delivered as 8-byte doubles. */
XDS_NODISCARD XDSRESULT XdsGetRecord(XDSHANDLE table, void* buffer, uint32_t length);
/* A field of the current record as text. Character fields: the stored
   characters (an OEM table's converted to 1251), NUL-terminated; memo
   fields: the memo's bytes (text of an OEM table converted), NUL-terminated
   when there is room; other types their plain text form (numbers with the
   field's decimals, dates YYYYMMDD, logical T/F, timestamps
   YYYYMMDDhhmmssfff). *length: buffer size in, length of the value out
   (without the NUL). XDS_GET_TRIM drops trailing blanks. A too small buffer
   gives an error with the length needed in *length. */
XDS_NODISCARD XDSRESULT XdsGetField(XDSHANDLE table, uint16_t field, void* buffer, uint32_t* length,
                      uint16_t options);
XDS_NODISCARD XDSRESULT XdsIsEmpty(XDSHANDLE table, uint16_t field, uint16_t* empty);
/* Stores a value given as text (an OEM table's text converted to 866);
   memo fields take any bytes. Longer character values are cut. The change
   is pending until XdsWriteRecord or the next move. */
XDS_NODISCARD XDSRESULT XdsSetField(XDSHANDLE table, uint16_t field, const void* data, uint32_t length);
/* Stores the field's bytes as the record image holds them (length must be
   the field length; currency fields take an 8-byte double). */
XDS_NODISCARD XDSRESULT XdsSetFieldRaw(XDSHANDLE table, uint16_t field, const void* data, uint32_t length);
XDS_NODISCARD XDSRESULT XdsSetEmpty(XDSHANDLE table, uint16_t field);
/* Fills buffer (length bytes, at least the record length) with the blank
   record of the table. */
XDS_NODISCARD XDSRESULT XdsClearRecordBuffer(XDSHANDLE table, void* buffer, uint32_t length);
/* Starts a new blank record after the last; XdsWriteRecord stores it,
   XdsCancelUpdate drops it. */
XDS_NODISCARD XDSRESULT XdsAppendRecord(XDSHANDLE table);
/* Stores the pending change of the current record (0 when none). On an
   exclusive open, records appended one after another are gathered and
   written in one batch (with the header count, end mark and date) when 1 MB
   has gathered, when the record pointer next moves, at XdsFlushTable and at
   XdsCloseTable; the file is consistent at every moment. */
XDS_NODISCARD XDSRESULT XdsWriteRecord(XDSHANDLE table);
/* Marks / unmarks the current record as deleted (pending like a field). */
XDS_NODISCARD XDSRESULT XdsDeleteRecord(XDSHANDLE table);
XDS_NODISCARD XDSRESULT XdsRecallRecord(XDSHANDLE table);
XDS_NODISCARD XDSRESULT XdsIsRecordDeleted(XDSHANDLE table, uint16_t* deleted);
/* The deleted setting: 1 hides deleted records from movement and counts,
   0 (the default) shows them. */
XDS_NODISCARD XDSRESULT XdsGetDeleted(XDSHANDLE table, uint16_t* hidden);
XDS_NODISCARD XDSRESULT XdsSetDeleted(XDSHANDLE table, uint16_t hidden);
/* Record locks between processes (no-ops on an exclusive open). */
XDS_NODISCARD XDSRESULT XdsLockRecord(XDSHANDLE table, uint32_t recno);
XDS_NODISCARD XDSRESULT XdsUnlockRecord(XDSHANDLE table, uint32_t recno);
/* Drops the pending change; 5085 when there is none. */
XDS_NODISCARD XDSRESULT XdsCancelUpdate(XDSHANDLE table);
/* Re-reads the current record from the file, dropping a pending change. */
XDS_NODISCARD XDSRESULT XdsRefreshRecord(XDSHANDLE table);
XDS_NODISCARD XDSRESULT XdsGetMemoLength(XDSHANDLE table, uint16_t field, uint32_t* length);
/* 5 text memo, 6 binary, 7 object. */
XDS_NODISCARD XDSRESULT XdsGetMemoDataType(XDSHANDLE table, uint16_t field, uint16_t* type);
XDS_NODISCARD XDSRESULT XdsGetBinaryLength(XDSHANDLE table, uint16_t field, uint32_t* length);
/* "YYYYMMDD" <-> Julian day number (2000-01-01 is 2451545). */
XDS_NODISCARD XDSRESULT XdsConvertStringToJulian(const char* text, int32_t* julian);
/* text: buffer of *length bytes (at least 9); *length becomes 8. */
XDS_NODISCARD XDSRESULT XdsConvertJulianToString(int32_t julian, char* text, uint16_t* length);

/* ---- Maintenance -------------------------------------------------------- */

/* Pack drops deleted records, zap all records; both need an exclusive open
   and replace the files in one step (a crash leaves the old table or the
   new one). The position is then at the top. */
XDS_NODISCARD XDSRESULT XdsPackTable(XDSHANDLE table);
XDS_NODISCARD XDSRESULT XdsZapTable(XDSHANDLE table);
/* Replaces every record of table (opened exclusively) with the records of
   source, another open table with the same fields, in the same one step as
   a pack: a failure or a crash leaves the old records or all the new ones.
   Deleted records of source are left out; indexes are rebuilt. The position
   is then at the top. */
XDS_NODISCARD XDSRESULT XdsRewriteTable(XDSHANDLE table, XDSHANDLE source);
/* Writes records buffered by appends, and index pages held back, to the files. */
XDS_NODISCARD XDSRESULT XdsFlushTable(XDSHANDLE table);
/* Checks a table's files without changing them: header, record count against
   the file size, end mark, memo pointers. report receives one problem per
   line (empty when none); *length: buffer size in, text length out. Gives 0
   when the table is sound, the damage code otherwise. */
XDS_NODISCARD XDSRESULT XdsCheckTable(XDSHANDLE connection, const char* path, char* report, uint32_t* length);

/* ---- Filters, exact comparison and locate -------------------------------- */

/* Expressions are xBase expressions in the program's code page (1251); an
   invalid one fails with XDS_ERR_EXPRESSION and a text that quotes it and
   names the position and the reason. */
#define XDS_ERR_EXPRESSION 5190

/* The plain filter: a logical expression tested on each record as the
   cursor moves. Setting replaces the previous one; the cursor stays.
   XdsClearFilter gives 5037 when no filter is set. */
XDS_NODISCARD XDSRESULT XdsSetFilter(XDSHANDLE table, const char* expression);
XDS_NODISCARD XDSRESULT XdsClearFilter(XDSHANDLE table);
/* The optimized filter: resolved into the set of matching records, at once
   (option 1) or when first needed (option 2). Records appended or written
   afterwards are tested again. XdsClearAOF gives 5037 when none is set.
   XdsGetAOF copies its text: 5037 when none is set; 5005 when buffer is
   NULL or *length (its size) cannot hold the text and a NUL, with the text
   length in *length. */
XDS_NODISCARD XDSRESULT XdsSetAOF(XDSHANDLE table, const char* expression, uint16_t option);
XDS_NODISCARD XDSRESULT XdsClearAOF(XDSHANDLE table);
XDS_NODISCARD XDSRESULT XdsGetAOF(XDSHANDLE table, char* buffer, uint16_t* length);
/* The exact-comparison setting of string "=": off (0, the default), a value
   equals a string when it begins with it; on, when equal apart from trailing
   blanks. "==" is always exact. */
XDS_NODISCARD XDSRESULT XdsSetExact22(XDSHANDLE table, uint16_t exact);
XDS_NODISCARD XDSRESULT XdsGetExact22(XDSHANDLE table, uint16_t* exact);
/* Moves to the first record, from the current one on (forward 1) or back
   (forward 0), in the handle's order, for which the expression is true and
   which the filters and the deleted setting let through. *found is 1 then;
   otherwise 0, with the cursor at EOF (forward) or BOF (backward). */
XDS_NODISCARD XDSRESULT XdsLocate(XDSHANDLE handle, const char* expression, uint16_t forward, uint16_t* found);

/* ---- Indexes -------------------------------------------------------------

   A CDX table's structural compound index opens with the table; each tag has
   one index handle (XdsGetAllIndexes, XdsGetIndexHandle), which moves the
   table's record pointer in the tag's order within the tag's scopes. Every
   tag is kept true on every append, field write, delete flag change, pack and
   zap. Text passed as keys is in the program's character set (converted for
   OEM tables, as XdsSetField converts). */

#define XDS_KEY_RAW 1    /* key bytes as XdsBuildRawKey gives them */
#define XDS_KEY_STRING 2 /* key given as text: a number, a date YYYYMMDD, T/F */

#define XDS_SEEK_HARD 0 /* not found: the pointer goes to the end */
#define XDS_SEEK_SOFT 1 /* not found: the pointer stays on the next key */

#define XDS_SCOPE_TOP 1
#define XDS_SCOPE_BOTTOM 2

/* XdsGetIndexFlags bits. */
#define XDS_INDEX_UNIQUE 0x1
#define XDS_INDEX_DESCENDING 0x2
#define XDS_INDEX_CUSTOM 0x4
#define XDS_INDEX_CONDITION 0x8

/* Index handles of the table's tags in creation order: *count is the room in
   indexes on entry and the number of handles given on return. */
XDS_NODISCARD XDSRESULT XdsGetAllIndexes(XDSHANDLE table, uint16_t* count, XDSHANDLE* indexes);
/* Index handle of a tag by name, letter case ignored. */
XDS_NODISCARD XDSRESULT XdsGetIndexHandle(XDSHANDLE table, const char* name, XDSHANDLE* index);
/* Texts of a tag: name, FOR condition (length 0 when none), key expression.
   *length: buffer size in, text length out. */
XDS_NODISCARD XDSRESULT XdsGetIndexName(XDSHANDLE index, char* name, uint16_t* length);
XDS_NODISCARD XDSRESULT XdsGetIndexCondition(XDSHANDLE index, char* condition, uint16_t* length);
XDS_NODISCARD XDSRESULT XdsGetIndexKeyExpression(XDSHANDLE index, char* expression, uint16_t* length);
XDS_NODISCARD XDSRESULT XdsGetIndexForExpression(XDSHANDLE index, char* expression, uint16_t* length);
/* The fields the key expression names, in order (segments numbered from 1). */
XDS_NODISCARD XDSRESULT XdsGetNumSegments(XDSHANDLE index, uint16_t* count);
XDS_NODISCARD XDSRESULT XdsGetSegmentFieldname(XDSHANDLE index, uint16_t segment, char* name,
                                 uint16_t* length);
XDS_NODISCARD XDSRESULT XdsIsIndexDescending(XDSHANDLE index, uint16_t* descending);
XDS_NODISCARD XDSRESULT XdsIsIndexUnique(XDSHANDLE index, uint16_t* unique);
XDS_NODISCARD XDSRESULT XdsIsIndexCustom(XDSHANDLE index, uint16_t* custom);
XDS_NODISCARD XDSRESULT XdsGetIndexFlags(XDSHANDLE index, uint32_t* flags);
/* Index pages are always 512 bytes in a CDX file. */
XDS_NODISCARD XDSRESULT XdsGetIndexPageSize(XDSHANDLE index, uint16_t* size);
/* Opens another index file for the table; its tags join the table's list. */
XDS_NODISCARD XDSRESULT XdsOpenIndex(XDSHANDLE table, const char* path);
/* Creates a tag in the structural index (creating the file when needed). */
XDS_NODISCARD XDSRESULT XdsCreateIndexTag(XDSHANDLE table, const char* name, const char* keyExpression,
                            const char* forExpression, uint16_t unique, uint16_t descending);
/* One tag of XdsCreateIndexTags; forExpression may be NULL or empty. */
typedef struct XDSTAGDEF {
  const char* name;
  const char* keyExpression;
  const char* forExpression;
  uint16_t unique;
  uint16_t descending;
} XDSTAGDEF;
/* Creates several tags in the structural index reading every record once:
   faster than one XdsCreateIndexTag call per tag. */
XDS_NODISCARD XDSRESULT XdsCreateIndexTags(XDSHANDLE table, uint16_t count, const XDSTAGDEF* tags);
/* Removes a tag; the structural file goes with its last tag. */
XDS_NODISCARD XDSRESULT XdsDeleteIndexTag(XDSHANDLE table, const char* name);

/* Raw keys: XdsInitRawKey starts a blank key record; XdsSetField,
   XdsSetFieldRaw and XdsSetEmpty on the index handle then set fields into it;
   XdsBuildRawKey evaluates the key expression on it. A character field set
   without its trailing blanks as the last given segment of a key made of
   character fields makes a partial key. *length: room in, key length out. */
XDS_NODISCARD XDSRESULT XdsInitRawKey(XDSHANDLE index);
XDS_NODISCARD XDSRESULT XdsBuildRawKey(XDSHANDLE index, void* key, uint16_t* length);
/* Seeks a key (a shorter raw key or any text key of a character tag matches
   as a prefix) and moves to the first record in the tag's order at or after
   it that passes the table's filters. *found tells whether that record's key
   matches. */
XDS_NODISCARD XDSRESULT XdsSeek(XDSHANDLE index, const void* key, uint16_t length, uint16_t keyType,
                  uint16_t seekType, uint16_t* found);
/* Scopes limit movement to keys from the top to the bottom scope, each
   compared over its own length. 5038 when the scope asked for is not set. */
XDS_NODISCARD XDSRESULT XdsSetScope(XDSHANDLE index, uint16_t which, const void* key, uint16_t length,
                      uint16_t keyType);
XDS_NODISCARD XDSRESULT XdsGetScope(XDSHANDLE index, uint16_t which, void* key, uint16_t* length);
XDS_NODISCARD XDSRESULT XdsClearScope(XDSHANDLE index, uint16_t which);
XDS_NODISCARD XDSRESULT XdsClearAllScopes(XDSHANDLE table);
/* Makes a raw key the next (step 1) or previous (step -1) possible key. */
XDS_NODISCARD XDSRESULT XdsStepIndexKey(XDSHANDLE index, void* key, uint16_t length, int16_t step);
/* Position of the current record in the tag as a fraction from 0 (first) to
   1 (last); 5041 when the record has no key position. */
XDS_NODISCARD XDSRESULT XdsGetRelKeyPos(XDSHANDLE index, double* position);
XDS_NODISCARD XDSRESULT XdsSetRelKeyPos(XDSHANDLE index, double position);
/* Rebuilds every tag into a new file that replaces the old one when complete.
   pageSize (512 to 8192) is accepted; CDX pages are always 512 bytes. */
XDS_NODISCARD XDSRESULT XdsReindex61(XDSHANDLE table, uint16_t pageSize);
/* Memory, in kilobytes, that index builds (XdsCreateIndexTag(s), reindex,
   pack, zap and rebuilds on open) may use to sort keys, for every table of
   the process; 0 restores the default of 131072 (128 MB), the least is 1.
   When a table's keys need more, they are sorted in parts kept in scratch
   files in the table's folder, which never outlive the build. The index
   files come out the same whatever the setting. */
#define XDS_DEFAULT_INDEX_SORT_MEMORY_KB 131072
XDS_NODISCARD XDSRESULT XdsSetIndexSortMemory(uint32_t kilobytes);
XDS_NODISCARD XDSRESULT XdsGetIndexSortMemory(uint32_t* kilobytes);

/* ---- Version ------------------------------------------------------------ */

/* The engine's version: major, minor and a letter (a blank when there is
   none). */
XDS_NODISCARD XDSRESULT XdsGetVersion(uint16_t* major, uint16_t* minor, char* letter);

/* ---- Errors ------------------------------------------------------------- */

/* Code and text of the calling thread's last failure. text: buffer of
 *length bytes (600 is always enough); *length becomes the text length.
   Always 0, like XdsSetLastError: their results need no check. */
XDSRESULT XdsGetLastError(int32_t* code, char* text, uint16_t* length);
/* Sets the calling thread's last error (for layers that refuse an operation
   on the engine's behalf). */
XDSRESULT XdsSetLastError(int32_t code, const char* text);

#ifdef __cplusplus
}
#endif

#endif /* XCE_H_ */
