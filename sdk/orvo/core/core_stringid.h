// Interned string ids: every distinct text has one shared, reference-counted
// copy in the process-wide dictionary stringid_ctx, so ids compare and hash
// by their text address. Each holder of an id owns one reference and drops it
// exactly once; entries are never freed while the program runs, so a held id
// keeps a readable text even after the dictionary itself is released.
// The Qt constructor lives in core_stringid_qt.h.
#pragma once

#include "orvo/core/core_hashtable.h"
#include "orvo/core/core_mutex.h"
#include "orvo/core/core_string.h"

namespace orvo
{
// An interned text. str points into a dictionary entry whose 32-bit count sits
// immediately before the text and whose zero byte follows it; the empty id is
// empty_str itself (the shared literal, never counted). A zeroed id (null
// str) is treated as the empty id by every function here.
// Initialise a holder with `stringid_t id = {empty_str};`.
struct stringid_t : string_t
{
};

// The dictionary keys entries by their text: ELF hash of the bytes, strcmp
// order inside a bucket. Lookups use a plain string_t view as the key.
template <>
struct container_traits<stringid_t>
{
    typedef string_t key_type;
    static key_type key(const stringid_t& id) { return id; }
    static int compare(const key_type& a, const key_type& b);
    static u64 hash(const key_type& key);
};

const u64 STRINGID_NUM_BUCKETS = 1000;

struct stringid_context_t
{
    hashtable_t<stringid_t> table;
    global_mutex_t lock;
    u32 initialise_count;
};

// The one dictionary of the process. Its lock serialises lookups, inserts,
// set-up, release and the report; reference counts change without it.
extern stringid_context_t stringid_ctx;

// --- dictionary lifecycle ----------------------------------------------------
// Counted: the first call creates the table of 1000 buckets.
void stringid_library_initialise();
// The matching last call frees the table; the entries stay readable.
void stringid_library_release();
// Shut-down report: a Warning line of module General listing every entry that
// someone other than the dictionary still holds.
void stringid_library_check();

// --- ids ------------------------------------------------------------------
// Makes id refer to the entry for text (created when new) and takes one
// reference on it, after dropping the reference id held before. The text is
// its first length bytes, or fewer when a zero byte comes first. A dictionary
// that was never set up (or was released) is set up here, so early callers
// still get valid ids. Returns false when the lock cannot be taken (id left as
// it was) or a new entry cannot be stored (failure logged, old reference
// dropped, id set to the empty id).
bool stringid_resolve(stringid_t& id, const string_t& text);
// Atomic +1 unless id is the empty id.
void stringid_incref(const stringid_t& id);
// Atomic -1 unless id is the empty id; reaching zero logs
// "string id released too many times: %s" and frees nothing.
void stringid_decref(const stringid_t& id);
// A holder letting go of its copy: stringid_decref, then id becomes the empty
// id. Safe on a zeroed or already released id.
void stringid_release(stringid_t& id);

// --- queries ---------------------------------------------------------------
// True for the uncounted empty id (and a zeroed one).
inline bool stringid_is_empty_id(const stringid_t& id)
{
    return id.str == nullptr || id.str == empty_str.str;
}
// The entry's current reference count; 0 for the empty id.
i32 stringid_count(const stringid_t& id);
} // namespace orvo
