// The identity file. Owns its buffers and the lock that lets one rewrite
// run at a time; the identity itself lives in g_gbVar (globals).
//
// Reading: the file is parsed as the `uci` command parses a config, step
// by step as its parser does (in place in a line buffer, quotes joined,
// backslashes, ';' and '#', continued lines, named sections merged, lists,
// strict: any parse error refuses the whole file). The values are those of
// the first deviceInfo section. A file uci gives no such section is read by
// the plain-text rule the adapter always used, so old files keep working.
//
// Rewriting: only the two values change, where uci takes them from, and the
// result is parsed again before it is written: it must give back the new
// identity. A file uci refuses is never rewritten (any rewrite would either
// destroy the maker's bytes or leave uci and the adapter disagreeing).
//
// Sharing with `uci commit`, which locks the file, writes .<name>.uci-XXXXXX
// beside it, unlocks and only then renames that over the file:
//  - the lock is polled (LOCK_NB) for at most IDENTITY_LOCK_MS, so a script
//    holding it cannot silence the link thread or the serial thread;
//  - holding it, a uci staging file means a commit between its unlock and
//    its rename: the lock is released and taken again once it is gone; one
//    that stays (same inode) for ID_STALE_MS is a dead commit's leftover and
//    is removed (a commit merely stopped there then fails loudly on its
//    rename instead of silently undoing this change);
//  - a commit that opened the old file and waits for its lock reads that
//    file once it gets it: after the rename the old inode, if nothing else
//    names it, is given the new text too, so the commit builds on it.
// The staging file device_info.tmp is made anew (O_EXCL, O_NOFOLLOW).
#include "core/identity.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/common.h"
#include "core/endpoints.h"

namespace {

constexpr int32_t ID_RETRY_MS = 20;
constexpr int32_t ID_STALE_MS = 1000;     // a uci staging file older than this while unlocked is a leftover
constexpr size_t ID_SEGS = 16;            // continued lines of one logical line that keep their offsets
constexpr size_t ID_VALUE_MAX = 32;       // value bytes kept (the fields are shorter)
constexpr size_t ID_NO_SPAN = (size_t)-1;
constexpr const char *ID_SECTION = "deviceInfo";
constexpr const char *ID_MASK = "***";   // the pairing code in every line

pthread_mutex_t s_fileMutex = PTHREAD_MUTEX_INITIALIZER;   // one reader or rewrite at a time
// Under s_fileMutex: the file as read, as it is to be written, uci's line
// buffer, the named sections seen ("type\0name\0" each, behind its index)
// and the path of a uci staging file.
char s_fileText[IDENTITY_FILE_MAX + 1];
char s_fileOut[IDENTITY_FILE_MAX + 1];
char s_line[IDENTITY_FILE_MAX + 3];
char s_names[IDENTITY_FILE_MAX + 8];
char s_stagePath[512 + 256 + 2];

// ---- uci's parser

enum IdState { ID_NONE, ID_STRING, ID_LIST };

// One option of the target section as uci holds it once the file is read.
struct IdValue {
    IdState state;
    char text[ID_VALUE_MAX + 1];
    size_t len;
    size_t from, to;      // file bytes of the value that set it (option); ID_NO_SPAN if unknown
    size_t nameEnd;       // empty-valued option line: where a value would go
};

struct IdDoc {
    bool refused;
    uint32_t errLine;
    bool section;
    bool crlf;            // the section's first line ends in CR LF
    size_t insertAt;      // after the section's last line
    IdValue sn, pc;
};

struct IdSeg {
    size_t at;    // index in s_line
    size_t off;   // file offset it was read from
};

struct IdParser {
    const char *text;
    size_t n;
    size_t rd;          // next file byte to read
    size_t filled;      // bytes in s_line
    size_t pos;
    size_t argFrom, argTo;   // raw bytes (s_line indices) of the last argument
    IdSeg seg[ID_SEGS];
    size_t nseg;
    bool mapped;        // every s_line index still maps to a file offset
    bool error;
    uint32_t line;
    int cur;            // current section, -1 before the first
    int target;         // first deviceInfo section, -1 none
    int nsec;
    size_t names;       // bytes used in s_names
    bool command;       // the line held a command
    IdDoc *doc;
};

bool idSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool idAlnum(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// uci_validate_str.
bool idValid(const char *s, bool name, bool package)
{
    if (*s == '\0')
        return false;
    for (; *s != '\0'; s++) {
        unsigned char c = (unsigned char)*s;
        if (idAlnum(c) || c == '_' || (c == '-' && package))
            continue;
        if (name || c < 33 || c > 126)
            return false;
    }
    return true;
}

void idError(IdParser *p)
{
    if (!p->error)
        p->doc->errLine = p->line;
    p->error = true;
}

size_t idFileOff(const IdParser *p, size_t i)
{
    for (size_t k = p->nseg; k > 0; k--) {
        if (p->seg[k - 1].at <= i)
            return p->seg[k - 1].off + (i - p->seg[k - 1].at);
    }
    return ID_NO_SPAN;
}

// uci_getln: the next file line (through its LF) into s_line at offset.
void idGetLine(IdParser *p, size_t offset)
{
    s_line[offset] = '\0';
    if (p->rd >= p->n)
        return;
    const void *nl = memchr(p->text + p->rd, '\n', p->n - p->rd);
    size_t len = nl != nullptr ? (size_t)((const char *)nl - (p->text + p->rd)) + 1 : p->n - p->rd;
    while (p->nseg > 0 && p->seg[p->nseg - 1].at >= offset)
        p->nseg--;
    if (p->nseg < ID_SEGS)
        p->seg[p->nseg++] = IdSeg{offset, p->rd};
    else
        p->mapped = false;
    memcpy(s_line + offset, p->text + p->rd, len);
    p->rd += len;
    p->filled = offset + len;
    s_line[p->filled] = '\0';
    p->line++;
}

char idCur(const IdParser *p)
{
    return s_line[p->pos];
}

void idSkipSpace(IdParser *p)
{
    while (idCur(p) != '\0' && idSpace(idCur(p)))
        p->pos++;
}

// parse_backslash: false when it continued the line.
bool idBackslash(IdParser *p)
{
    p->pos++;
    char c = idCur(p);
    if (c == '\0' || c == '\n' || (c == '\r' && s_line[p->pos + 1] == '\n' && s_line[p->pos + 2] == '\0')) {
        idGetLine(p, p->pos);
        return false;
    }
    return true;
}

void idAdd(IdParser *p, size_t *target)
{
    s_line[(*target)++] = s_line[p->pos++];
}

// parse_double_quote and parse_single_quote.
void idQuoted(IdParser *p, size_t *target, char quote)
{
    p->pos++;
    while (!p->error) {
        char c = idCur(p);
        if (c == quote) {
            p->pos++;
            return;
        }
        if (c == '\0') {
            idGetLine(p, p->pos);
            if (idCur(p) == '\0')
                idError(p);   // EOF with an unterminated quote
            continue;
        }
        if (c == '\\' && quote == '"' && !idBackslash(p))
            continue;
        idAdd(p, target);
    }
}

// parse_str.
void idString(IdParser *p, size_t *target)
{
    bool next = true;
    do {
        char c = idCur(p);
        if (c == '\'' || c == '"') {
            idQuoted(p, target, c);
        } else if (c == '#') {
            s_line[p->pos] = '\0';
            break;
        } else if (c == '\0') {
            break;
        } else if (c == ';') {
            next = false;
            break;
        } else if (c == '\\' && !idBackslash(p)) {
            continue;
        } else {
            idAdd(p, target);
        }
    } while (!p->error && idCur(p) != '\0' && !idSpace(idCur(p)));
    p->argTo = p->pos;
    if (idCur(p) != '\0' && next)
        p->pos++;
    s_line[*target] = '\0';
}

// next_arg: the index of the argument's text in s_line.
size_t idArg(IdParser *p, bool required, bool name, bool package)
{
    idSkipSpace(p);
    size_t val = p->pos;
    size_t ptr = val;
    p->argFrom = p->argTo = val;
    if (idCur(p) == ';') {
        s_line[p->pos++] = '\0';
    } else {
        idString(p, &ptr);
    }
    if (p->error)
        return val;
    if (s_line[val] == '\0') {
        if (required)
            idError(p);
        return val;
    }
    if (name && !idValid(s_line + val, true, package))
        idError(p);
    return val;
}

// assert_eol, as strict as the uci command.
void idEol(IdParser *p)
{
    idSkipSpace(p);
    size_t v = idArg(p, false, false, false);
    if (!p->error && s_line[v] != '\0')
        idError(p);
}

// The command word is followed by its NUL in s_line.
void idSkipWord(IdParser *p, size_t add)
{
    if (p->pos + add > p->filled)
        idError(p);
    else
        p->pos += add;
}

// A named section seen before: its index, and whether its type is type.
int idFindSection(const char *name, const char *type, bool *sameType)
{
    for (size_t at = 0; at < sizeof s_names && s_names[at + 2] != '\0';) {
        int idx = (unsigned char)s_names[at] | ((unsigned char)s_names[at + 1] << 8);
        const char *t = s_names + at + 2;
        const char *nm = t + strlen(t) + 1;
        if (strcmp(nm, name) == 0) {
            *sameType = strcmp(t, type) == 0;
            return idx;
        }
        at = (size_t)(nm + strlen(nm) + 1 - s_names);
    }
    return -1;
}

void idAddSection(IdParser *p, const char *type, const char *name)
{
    size_t tl = strlen(type), nl = strlen(name);
    if (p->names + 2 + tl + 1 + nl + 1 + 3 > sizeof s_names) {
        idError(p);   // cannot happen: names and types are shorter than their lines
        return;
    }
    char *e = s_names + p->names;
    e[0] = (char)(p->nsec & 0xFF);
    e[1] = (char)(p->nsec >> 8);
    memcpy(e + 2, type, tl + 1);
    memcpy(e + 3 + tl, name, nl + 1);
    p->names += 2 + tl + 1 + nl + 1;
    memset(s_names + p->names, 0, 3);
}

// uci_parse_config.
void idConfig(IdParser *p, size_t wordLen)
{
    idSkipWord(p, wordLen);
    if (p->error)
        return;
    size_t t = idArg(p, true, false, false);
    if (p->error || !idValid(s_line + t, false, false)) {
        idError(p);
        return;
    }
    size_t nm = idArg(p, false, true, false);
    if (!p->error)
        idEol(p);
    if (p->error)
        return;
    const char *type = s_line + t;
    const char *name = s_line + nm;
    bool same = true;
    int idx = name[0] != '\0' ? idFindSection(name, type, &same) : -1;
    if (!same) {
        idError(p);   // a section of another type under the same name
        return;
    }
    if (idx < 0) {
        idx = p->nsec;
        if (name[0] != '\0')
            idAddSection(p, type, name);
        p->nsec++;
        if (p->target < 0 && strcmp(type, ID_SECTION) == 0) {
            p->target = idx;
            p->doc->section = true;
            p->doc->crlf = p->rd >= 2 && p->text[p->rd - 1] == '\n' && p->text[p->rd - 2] == '\r';
        }
    }
    p->cur = idx;
}

// What uci_set (option) and uci_add_list (list) make of the option.
void idApply(IdParser *p, IdValue *v, bool list, const char *value, size_t nameEnd)
{
    size_t len = strlen(value);
    if (!list) {
        if (len == 0) {
            // uci_set with an empty value changes nothing. Where a value
            // would go: in place of the empty one ('' say), or after the name.
            if (v->state == ID_NONE) {
                bool raw = p->mapped && p->argTo > p->argFrom;
                v->from = raw ? idFileOff(p, p->argFrom) : ID_NO_SPAN;
                v->to = raw ? idFileOff(p, p->argTo) : ID_NO_SPAN;
                v->nameEnd = nameEnd;
            }
            return;
        }
        v->state = ID_STRING;
        v->len = 0;
        bool known = p->mapped && p->argTo > p->argFrom;
        v->from = known ? idFileOff(p, p->argFrom) : ID_NO_SPAN;
        v->to = known ? idFileOff(p, p->argTo) : ID_NO_SPAN;
    } else {
        // A list reads as its items joined by a blank.
        if (v->state != ID_NONE && v->len < ID_VALUE_MAX)
            v->text[v->len++] = ' ';
        v->state = ID_LIST;
    }
    size_t room = ID_VALUE_MAX - v->len;
    size_t n = len < room ? len : room;
    memcpy(v->text + v->len, value, n);
    v->len += n;
    v->text[v->len] = '\0';
}

// uci_parse_option (list: uci_parse_option with list set).
void idOption(IdParser *p, size_t wordLen, bool list)
{
    if (p->cur < 0) {
        idError(p);   // an option before the first section
        return;
    }
    idSkipWord(p, wordLen);
    if (p->error)
        return;
    size_t nm = idArg(p, true, true, false);
    if (p->error)
        return;
    size_t nameEnd = p->mapped ? idFileOff(p, p->argTo) : ID_NO_SPAN;
    size_t val = idArg(p, false, false, false);
    if (p->error)
        return;
    size_t from = p->argFrom, to = p->argTo;
    idEol(p);
    if (p->error || p->cur != p->target)
        return;
    IdValue *v = strcmp(s_line + nm, "serialNum") == 0 ? &p->doc->sn
                 : strcmp(s_line + nm, "pairCode") == 0 ? &p->doc->pc : nullptr;
    if (v == nullptr)
        return;
    p->argFrom = from;
    p->argTo = to;
    idApply(p, v, list, s_line + val, nameEnd);
}

// uci_parse_package: in a single config it only has to be well formed.
void idPackage(IdParser *p, size_t wordLen)
{
    idSkipWord(p, wordLen);
    if (!p->error)
        idArg(p, true, true, true);
    if (!p->error)
        idEol(p);
}

bool idWordIs(const char *w, size_t len, const char *full)
{
    return len == 1 || (len == strlen(full) && memcmp(w, full, len) == 0);
}

// uci_parse_line: the commands of one line, split by strtok as uci does.
void idLine(IdParser *p)
{
    idSkipSpace(p);
    while (!p->error) {
        size_t w = p->pos;
        while (s_line[w] == ' ' || s_line[w] == '\t')
            w++;
        if (s_line[w] == '\0')
            return;
        size_t e = w;
        while (s_line[e] != '\0' && s_line[e] != ' ' && s_line[e] != '\t')
            e++;
        s_line[e] = '\0';
        const char *word = s_line + w;
        size_t len = e - w;
        size_t skip = e - p->pos + 1;
        if (word[0] == '#')
            return;
        p->command = true;
        if (word[0] == 'p' && idWordIs(word, len, "package"))
            idPackage(p, skip);
        else if (word[0] == 'c' && idWordIs(word, len, "config"))
            idConfig(p, skip);
        else if (word[0] == 'o' && idWordIs(word, len, "option"))
            idOption(p, skip, false);
        else if (word[0] == 'l' && idWordIs(word, len, "list"))
            idOption(p, skip, true);
        else
            idError(p);   // invalid command
    }
}

// uci_import of the n bytes at text (no NUL among them).
void idParse(const char *text, size_t n, IdDoc *doc)
{
    memset(doc, 0, sizeof *doc);
    doc->sn.from = doc->sn.to = doc->sn.nameEnd = ID_NO_SPAN;
    doc->pc.from = doc->pc.to = doc->pc.nameEnd = ID_NO_SPAN;
    memset(s_names, 0, 3);
    IdParser p = {};
    p.text = text;
    p.n = n;
    p.cur = p.target = -1;
    p.doc = doc;
    while (p.rd < n && !p.error) {
        p.pos = 0;
        p.nseg = 0;
        p.mapped = true;
        p.command = false;
        idGetLine(&p, 0);
        if (s_line[0] != '\0')
            idLine(&p);
        if (!p.error && p.command && p.target >= 0 && p.cur == p.target)
            doc->insertAt = p.rd;
    }
    doc->refused = p.error;
    if (p.error)
        doc->section = false;
}

// ---- Reading

// "[globals]: tag: ..." line; the pairing code never shows.
void idPrintTag(const char *tag, const char *value)
{
    printf("[globals]: tag: %s, value: %s\r\n", tag, strcmp(tag, "pairCode") == 0 ? ID_MASK : value);
}

// uci's quoting: when the value (the len bytes at v, blanks, tabs and '='
// before it and blanks and tabs after it aside) is wholly inside one kind of
// quotes, *inner points after the opening quote and the length between the
// quotes is returned. Otherwise *inner is left null: the value is read as
// it always was, so files written without quotes read as before.
size_t idQuotedValue(const char *v, size_t len, const char **inner)
{
    size_t b = 0;
    while (b < len && (v[b] == ' ' || v[b] == '\t' || v[b] == '='))
        b++;
    while (len > b && (v[len - 1] == ' ' || v[len - 1] == '\t'))
        len--;
    if (len - b < 2 || (v[b] != '\'' && v[b] != '"') || v[len - 1] != v[b])
        return 0;
    *inner = v + b + 1;
    return len - b - 2;
}

void idTake(const IdValue &v, char *out, size_t size)
{
    size_t n = v.len < size - 1 ? v.len : size - 1;
    memcpy(out, v.text, n);
    out[n] = '\0';
}

// Both values from a file's text (NUL-terminated), with their tag lines.
void idReadIdentity(const char *text, char *sn, char *pc)
{
    IdDoc doc;
    idParse(text, strlen(text), &doc);
    if (!doc.section) {
        if (doc.refused)
            printf("[globals]: uci cannot read %s (line %u), read as plain text\r\n", EP_Path(EP_PATH_DEVINFO),
                   (unsigned)doc.errLine);
        GB_GetTagValueStr(text, "serialNum", sn, GB_SERIALNUM_SIZE);
        GB_GetTagValueStr(text, "pairCode", pc, GB_PAIRCODE_SIZE);
        return;
    }
    const IdValue *vals[] = {&doc.sn, &doc.pc};
    const char *tags[] = {"serialNum", "pairCode"};
    char *outs[] = {sn, pc};
    size_t sizes[] = {GB_SERIALNUM_SIZE, GB_PAIRCODE_SIZE};
    for (int i = 0; i < 2; i++) {
        if (vals[i]->state == ID_NONE)
            continue;
        idTake(*vals[i], outs[i], sizes[i]);
        idPrintTag(tags[i], outs[i]);
    }
}

// ---- The lock

// Writes all of buf to fd, retrying short writes and EINTR.
int32_t idWriteAll(int fd, const char *buf, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, buf, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        buf += n;
        len -= (size_t)n;
    }
    return 0;
}

// Reads up to max bytes from fd: the count, or -1.
ssize_t idReadAll(int fd, char *buf, size_t max)
{
    size_t got = 0;
    while (got < max) {
        ssize_t n = read(fd, buf + got, max - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += (size_t)n;
    }
    return (ssize_t)got;
}

// Waits ms, less when the adapter is ending. False once it is.
bool idPause(int32_t ms)
{
    struct pollfd w = {GB_ExitFd(), POLLIN, 0};
    if (w.fd < 0 || poll(&w, 1, ms) > 0) {
        if (GB_TestEvent(GB_EVENT_EXIT))
            return false;
        if (w.fd >= 0)
            COMM_SleepMs(ms);   // woken by a stale exit mark
    }
    return !GB_TestEvent(GB_EVENT_EXIT);
}

// 0 locked, 1 held by another, -1 error. A file system without flock
// counts as locked.
int idTryLock(int fd, int op)
{
    int rc;
    do {
        rc = flock(fd, op | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0 || errno == ENOSYS)
        return 0;
    return errno == EWOULDBLOCK ? 1 : -1;
}

struct IdStage {
    bool seen;
    ino_t ino;
    int64_t since;
};

// Holding the lock: is a `uci commit` of this file between its unlock and
// its rename (its staging file .<name>.uci-XXXXXX beside the file)? One
// that stays ID_STALE_MS is a leftover: removed (said in one line), and no
// commit is then under way. True while one is.
bool idCommitPending(const char *path, IdStage *stage)
{
    const char *slash = strrchr(path, '/');
    size_t dirLen = slash != nullptr ? (size_t)(slash - path) : 0;
    const char *base = slash != nullptr ? slash + 1 : path;
    char prefix[300];
    int pl = snprintf(prefix, sizeof prefix, ".%s.uci-", base);
    if (pl < 0 || (size_t)pl >= sizeof prefix || dirLen + 2 + 256 > sizeof s_stagePath)
        return false;
    memcpy(s_stagePath, path, dirLen);
    s_stagePath[dirLen] = '\0';
    DIR *d = opendir(dirLen > 0 ? s_stagePath : ".");
    if (d == nullptr)
        return false;
    bool pending = false;
    ino_t ino = 0;
    for (struct dirent *e = readdir(d); e != nullptr && !pending; e = readdir(d)) {
        if (strncmp(e->d_name, prefix, (size_t)pl) == 0) {
            pending = true;
            ino = e->d_ino;
            snprintf(s_stagePath + dirLen, sizeof s_stagePath - dirLen, "/%s", e->d_name);
        }
    }
    closedir(d);
    if (!pending)
        return false;
    int64_t now = COMM_MonotonicMs();
    if (!stage->seen || stage->ino != ino) {
        *stage = IdStage{true, ino, now};
        return true;
    }
    if (now - stage->since < ID_STALE_MS)
        return true;
    unlink(s_stagePath);
    printf("[globals]: removed %s, left by a commit that never finished\r\n", s_stagePath);
    return false;
}

enum IdOpen { ID_OPEN_OK, ID_OPEN_NOFILE, ID_OPEN_BAD, ID_OPEN_BUSY };

// Opens path, for writing too where it may when create (a missing file
// then made, 0600). -1 when it cannot be opened.
int idOpen(const char *path, bool create, bool *writable)
{
    *writable = create;
    int fd = open(path, (create ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && create)
        fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0 && errno != ENOENT && create) {
        *writable = false;
        fd = open(path, O_RDONLY | O_CLOEXEC);
    }
    return fd;
}

// Opens path under its flock (op LOCK_SH or LOCK_EX), polled for at most
// IDENTITY_LOCK_MS, with no uci commit under way; a file another writer
// replaced meanwhile is opened again. ID_OPEN_OK: *fd locked, *st its
// status. ID_OPEN_BUSY: the bound passed (or the adapter is ending); *fd
// open but not locked. ID_OPEN_NOFILE: it cannot be opened. ID_OPEN_BAD:
// no regular file, or the lock fails.
IdOpen idOpenLocked(const char *path, int op, bool create, int *fd, struct stat *st, bool *writable)
{
    int64_t start = COMM_MonotonicMs();
    IdStage stage = {};
    for (;;) {
        *fd = idOpen(path, create, writable);
        if (*fd < 0)
            return ID_OPEN_NOFILE;
        int lk = idTryLock(*fd, op);
        if (lk < 0 || fstat(*fd, st) != 0 || !S_ISREG(st->st_mode)) {
            close(*fd);
            return ID_OPEN_BAD;
        }
        struct stat now;
        if (lk == 0 && stat(path, &now) == 0 && now.st_ino == st->st_ino && now.st_dev == st->st_dev &&
            !idCommitPending(path, &stage))
            return ID_OPEN_OK;
        if (lk == 0)
            flock(*fd, LOCK_UN);
        if (COMM_MonotonicMs() - start >= IDENTITY_LOCK_MS || !idPause(ID_RETRY_MS))
            return ID_OPEN_BUSY;
        close(*fd);
    }
}

// ---- Rewriting

// Replaces path with text through the staging file tmp, made anew (a
// leftover removed; never through a link) with mode before any byte is in
// it. 0 done; 1 tmp not creatable; -1 write, flush or rename failed (old
// file still in place).
int32_t idReplaceFile(const char *path, const char *tmp, const char *text, size_t len, mode_t mode)
{
    unlink(tmp);
    int fd = open(tmp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return 1;
    int32_t rc = fchmod(fd, mode) == 0 ? 0 : -1;
    if (rc == 0)
        rc = idWriteAll(fd, text, len);
    if (rc == 0 && fsync(fd) != 0)
        rc = -1;
    if (close(fd) != 0)
        rc = -1;
    if (rc == 0 && rename(tmp, path) != 0)
        rc = -1;
    if (rc != 0) {
        unlink(tmp);
        return -1;
    }
    COMM_SyncDir(path);
    return 0;
}

// The new file, built in s_fileOut.
struct IdOut {
    size_t len;
    bool ok;   // false once something did not fit
};

void idPut(IdOut *o, const char *p, size_t n)
{
    if (!o->ok || n > IDENTITY_FILE_MAX - o->len) {
        o->ok = false;
        return;
    }
    memcpy(s_fileOut + o->len, p, n);
    o->len += n;
}

void idPutStr(IdOut *o, const char *s)
{
    idPut(o, s, strlen(s));
}

// Where a value goes in place: the bytes it replaces (a value wholly in one
// pair of quotes keeps them), or, on an option line without a value, right
// after the name with a blank before it. False: it goes on a line of its own.
struct IdEdit {
    size_t from, to;
    bool blank;
    const char *value;
};

bool idPlace(const char *t, const IdValue &v, const char *value, IdEdit *ed)
{
    *ed = IdEdit{0, 0, false, value};
    if (v.state != ID_LIST && v.from != ID_NO_SPAN) {
        ed->from = v.from;
        ed->to = v.to;
        char q = t[v.from];
        if (v.to - v.from >= 2 && (q == '\'' || q == '"') && t[v.to - 1] == q) {
            const char *in = t + v.from + 1;
            size_t inLen = v.to - v.from - 2;
            if (memchr(in, q, inLen) == nullptr && memchr(in, '\\', inLen) == nullptr &&
                memchr(in, '\n', inLen) == nullptr) {
                ed->from++;
                ed->to--;
            }
        }
        return true;
    }
    if (v.state == ID_NONE && v.nameEnd != ID_NO_SPAN) {
        // After the blank an emptied value left, or after a new one; an
        // empty value adds nothing. A blank each time would pile up until
        // the file outgrew its bound and no identity could be stored.
        bool spaced = t[v.nameEnd] == ' ' || t[v.nameEnd] == '\t';
        ed->from = ed->to = v.nameEnd + (spaced ? 1 : 0);
        ed->blank = !spaced && value[0] != '\0';
        return true;
    }
    return false;
}

// Line end of a file without the section: the one its first line uses
// (CR LF, as the adapter writes, when it has none).
const char *idFileEol(const char *t, size_t n)
{
    const void *nl = memchr(t, '\n', n);
    return nl != nullptr && (nl == t || ((const char *)nl)[-1] != '\r') ? "\n" : "\r\n";
}

// Builds in s_fileOut the n bytes of s_fileText with the two values where
// uci takes them from; a missing option (or one uci holds as a list) is
// added at the end of the section, a missing section at the end of the
// file. Every other byte stays.
void idBuildFile(size_t n, const IdDoc &doc, const char *sn, const char *pc, IdOut *o)
{
    const char *t = s_fileText;
    const char *eol = doc.section ? (doc.crlf ? "\r\n" : "\n") : idFileEol(t, n);
    IdEdit ed[2];
    bool inPlace[2] = {false, false};
    if (doc.section) {
        inPlace[0] = idPlace(t, doc.sn, sn, &ed[0]);
        inPlace[1] = idPlace(t, doc.pc, pc, &ed[1]);
    }
    int order[2] = {0, 1};
    if (inPlace[0] && inPlace[1] && ed[1].from < ed[0].from) {
        order[0] = 1;
        order[1] = 0;
    }
    size_t at = 0;
    for (int k : order) {
        if (!inPlace[k])
            continue;
        idPut(o, t + at, ed[k].from - at);
        if (ed[k].blank)
            idPutStr(o, " ");
        idPutStr(o, ed[k].value);
        at = ed[k].to;
    }
    size_t ins = doc.section ? doc.insertAt : n;
    if (ins < at)
        ins = at;   // a value edited on the section's last line
    idPut(o, t + at, ins - at);
    if (!doc.section || !inPlace[0] || !inPlace[1]) {
        if (ins > 0 && t[ins - 1] != '\n')
            idPutStr(o, eol);
        if (!doc.section) {
            idPutStr(o, "config ");
            idPutStr(o, ID_SECTION);
            idPutStr(o, eol);
        }
        const char *names[] = {"\toption serialNum ", "\toption pairCode "};
        const char *vals[] = {sn, pc};
        for (int k = 0; k < 2; k++) {
            if (inPlace[k])
                continue;
            idPutStr(o, names[k]);
            idPutStr(o, vals[k]);
            idPutStr(o, eol);
        }
    }
    idPut(o, t + ins, n - ins);
}

// Results of a rewrite, beyond 0 (done) and -1 (cannot be read, written
// or replaced; old file kept).
constexpr int32_t ID_RW_NOFILE = 1;    // the file or its staging file cannot be made
constexpr int32_t ID_RW_LARGE = 2;     // over the bound (before or after the change)
constexpr int32_t ID_RW_BUSY = 3;      // locked past the bound
constexpr int32_t ID_RW_REFUSED = 4;   // uci refuses the file
constexpr int32_t ID_RW_NOREAD = 5;    // the result would not give back the identity

// The new file's text for the n bytes read, checked by reading it back.
int32_t idCompose(size_t n, const char *sn, const char *pc, size_t *outLen, uint32_t *errLine)
{
    // A NUL ends what the reader sees: the file is not the adapter's to rewrite.
    if (memchr(s_fileText, '\0', n) != nullptr)
        return -1;
    s_fileText[n] = '\0';   // what follows a last line's option name
    IdDoc doc;
    idParse(s_fileText, n, &doc);
    if (doc.refused) {
        *errLine = doc.errLine;
        return ID_RW_REFUSED;
    }
    IdOut o = {0, true};
    idBuildFile(n, doc, sn, pc, &o);
    if (!o.ok)
        return ID_RW_LARGE;
    IdDoc chk;
    idParse(s_fileOut, o.len, &chk);
    char gotSn[GB_SERIALNUM_SIZE], gotPc[GB_PAIRCODE_SIZE];
    idTake(chk.sn, gotSn, sizeof gotSn);
    idTake(chk.pc, gotPc, sizeof gotPc);
    if (!chk.section || chk.sn.state != ID_STRING || chk.sn.len != strlen(sn) || strcmp(gotSn, sn) != 0 ||
        chk.pc.len != strlen(pc) || strcmp(gotPc, pc) != 0)
        return ID_RW_NOREAD;
    *outLen = o.len;
    return 0;
}

// A commit that opened the old file before the rename reads it once it
// has the lock: the old inode, if nothing else names it, gets the new text.
void idFeedOldFile(int fd, const char *text, size_t len)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_nlink != 0 || lseek(fd, 0, SEEK_SET) != 0 || ftruncate(fd, 0) != 0)
        return;
    if (idWriteAll(fd, text, len) != 0) {
        // The file in place is whole; only a waiting commit sees less.
    }
}

// Rewrites the identity file with the two values (s_fileMutex held).
int32_t idRewrite(const char *sn, const char *pc, uint32_t *errLine)
{
    const char *path = EP_Path(EP_PATH_DEVINFO);
    struct stat st;
    int fd = -1;
    bool writable = false;
    IdOpen how = idOpenLocked(path, LOCK_EX, true, &fd, &st, &writable);
    if (how == ID_OPEN_NOFILE)
        return ID_RW_NOFILE;
    if (how == ID_OPEN_BAD)
        return -1;
    if (how == ID_OPEN_BUSY) {
        close(fd);
        return ID_RW_BUSY;
    }
    ssize_t n = idReadAll(fd, s_fileText, IDENTITY_FILE_MAX + 1);
    size_t outLen = 0;
    int32_t rc = -1;
    if (n > (ssize_t)IDENTITY_FILE_MAX)
        rc = ID_RW_LARGE;
    else if (n >= 0)
        rc = idCompose((size_t)n, sn, pc, &outLen, errLine);
    if (rc == 0)
        rc = idReplaceFile(path, EP_Path(EP_PATH_DEVINFO_TMP), s_fileOut, outLen, st.st_mode & 07777);
    if (rc == 0 && writable)
        idFeedOldFile(fd, s_fileOut, outLen);
    // Kept until the new file is in place.
    close(fd);
    return rc;
}

// The line for a rewrite that failed (rc not 0).
void idPrintFailure(int32_t rc, uint32_t errLine)
{
    if (rc == ID_RW_NOFILE)
        puts("[globals]:GB_ModifyDeviceInfo open error\r");
    else if (rc == ID_RW_LARGE)
        // Cutting it to the bound would lose the maker's bytes behind it.
        printf("[globals]:GB_ModifyDeviceInfo refused, the file is larger than %u bytes\r\n",
               (unsigned)IDENTITY_FILE_MAX);
    else if (rc == ID_RW_BUSY)
        printf("[globals]:GB_ModifyDeviceInfo refused, the file stayed locked for %d ms\r\n", (int)IDENTITY_LOCK_MS);
    else if (rc == ID_RW_REFUSED)
        printf("[globals]:GB_ModifyDeviceInfo refused, uci cannot read the file (line %u)\r\n", (unsigned)errLine);
    else if (rc == ID_RW_NOREAD)
        puts("[globals]:GB_ModifyDeviceInfo refused, the file would not read back the new identity\r");
    else
        // Reporting success here would make the caller end the adapter
        // believing an identity was stored that the next start never sees.
        puts("[globals]:GB_ModifyDeviceInfo write error\r");
}

}  // namespace

int32_t GB_GetTagValueStr(const char *text, const char *tag, char *value, size_t valueSize)
{
    const char *p = strstr(text, tag);
    if (p == nullptr || valueSize == 0)
        return 0;
    p += strlen(tag);
    size_t end = strcspn(p, "\r\n");
    const char *inner = nullptr;
    size_t innerLen = idQuotedValue(p, end, &inner);
    size_t n = 0;
    if (inner != nullptr) {
        n = innerLen < valueSize - 1 ? innerLen : valueSize - 1;   // a longer value is cut to the field
        memcpy(value, inner, n);
    } else {
        for (size_t i = 0; i < end; i++) {
            if (p[i] == ' ' || p[i] == '=')
                continue;
            if (n + 1 < valueSize)
                value[n++] = p[i];
        }
    }
    value[n] = '\0';
    idPrintTag(tag, value);
    return n > 0 ? 1 : 0;
}

int32_t IDENTITY_UciRead(const char *text, char *sn, size_t snSize, char *pc, size_t pcSize, uint32_t *errLine)
{
    pthread_mutex_lock(&s_fileMutex);
    IdDoc doc;
    idParse(text, strlen(text), &doc);
    IdValue none = {};
    idTake(doc.section ? doc.sn : none, sn, snSize);
    idTake(doc.section ? doc.pc : none, pc, pcSize);
    if (errLine != nullptr)
        *errLine = doc.refused ? doc.errLine : 0;
    pthread_mutex_unlock(&s_fileMutex);
    return doc.refused ? IDENTITY_UCI_REFUSED : doc.section ? IDENTITY_UCI_SECTION : IDENTITY_UCI_NONE;
}

int32_t gbInitDeviceInfo()
{
    const char *path = EP_Path(EP_PATH_DEVINFO);
    char sn[GB_SERIALNUM_SIZE] = {0};
    char pc[GB_PAIRCODE_SIZE] = {0};
    pthread_mutex_lock(&s_fileMutex);
    // Shared, as uci's readers take it: a commit under way is waited for,
    // but never for long: a file someone keeps locked is read as it is.
    int fd = -1;
    struct stat st;
    bool writable = false;
    IdOpen how = idOpenLocked(path, LOCK_SH, false, &fd, &st, &writable);
    if (how == ID_OPEN_NOFILE) {
        pthread_mutex_unlock(&s_fileMutex);
        puts("[globals]:gbReadAdapterInfo open error\r");
        return 1;
    }
    if (how == ID_OPEN_BAD)
        fd = open(path, O_RDONLY | O_CLOEXEC);   // read whatever it is, as always
    if (how == ID_OPEN_BUSY)
        printf("[globals]: %s stayed locked for %d ms, read without the lock\r\n", path, (int)IDENTITY_LOCK_MS);
    ssize_t got = fd >= 0 ? idReadAll(fd, s_fileText, IDENTITY_FILE_MAX) : -1;
    if (fd >= 0)
        close(fd);
    s_fileText[got > 0 ? got : 0] = '\0';
    idReadIdentity(s_fileText, sn, pc);
    pthread_mutex_unlock(&s_fileMutex);
    GB_SetDeviceInfo(sn, pc);
    // A device may still provision it over the serial port.
    if (sn[0] == '\0')
        printf("[globals]: no serialNum in %s, starting without a serial number\r\n", path);
    return 0;
}

int32_t GB_ModifyDeviceInfo(const char *serialNum, const char *pairCode)
{
    // A value the file would read back differently (a blank, a line break,
    // a quote...) would be answered as stored and then come back as another
    // identity, or as an extra line, at the next start; one longer than its
    // field would be stored cut, another identity than the one answered OK.
    const char *why = GB_DeviceInfoError(serialNum, true);
    const char *field = "serialNum";
    if (why == nullptr) {
        why = GB_DeviceInfoError(pairCode, false);
        field = "pairCode";
    }
    if (why != nullptr) {
        printf("[globals]:GB_ModifyDeviceInfo value error, %s %s\r\n", field, why);
        return 1;
    }
    char sn[GB_SERIALNUM_SIZE];
    char pc[GB_PAIRCODE_SIZE];
    snprintf(sn, sizeof sn, "%s", serialNum);
    snprintf(pc, sizeof pc, "%s", pairCode);
    uint32_t errLine = 0;
    pthread_mutex_lock(&s_fileMutex);
    int32_t rc = idRewrite(sn, pc, &errLine);
    if (rc == 0)
        GB_SetDeviceInfo(sn, pc);
    pthread_mutex_unlock(&s_fileMutex);
    if (rc != 0) {
        idPrintFailure(rc, errLine);
        return 1;
    }
    GB_GetDeviceInfo(sn, pc);
    printf("[globals]:GB_ModifyDeviceInfo new sn: %s, pw: %s\r\n", sn, ID_MASK);
    return 0;
}

const char *GB_DeviceInfoError(const char *value, bool isSerialNum)
{
    size_t len = strlen(value);
    if (isSerialNum && len == 0)
        return "is empty";
    if (len > (isSerialNum ? GB_SERIALNUM_SIZE : GB_PAIRCODE_SIZE) - 1)
        return isSerialNum ? "is longer than 11 bytes" : "is longer than 7 bytes";
    for (const unsigned char *p = (const unsigned char *)value; *p != '\0'; p++) {
        if (*p == ' ')
            return "holds a blank";
        if (*p < 0x20 || *p == 0x7F)
            return "holds a control character";
        if (strchr("='\"\\#;", *p) != nullptr)
            return "holds one of = ' \" \\ # ;";
    }
    if (isSerialNum && strstr(value, "pairCode") != nullptr)
        return "holds \"pairCode\"";
    return nullptr;
}
