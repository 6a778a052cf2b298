// One call of a store, one transaction: the rule each store states for a call that answers with
// an error, and the single place where its SQLite failures become the call's Win32 code.
#pragma once

#include "sqlite/connection.h"

#include <windows.h>

#include <new>
#include <utility>

namespace hostwin::sqlite {

// What becomes of the changes of a call whose body answers with an error code.
enum class OnFailure {
    RollBack, // none of them is kept: the call applies whole or not at all
    Commit,   // they are kept like a success's (what the call found out stays found out)
};

// A store's rules: `onFailure` for a body's error, `outOfMemory` for std::bad_alloc and
// SQLITE_NOMEM, and `codeFor` for every other SQLite failure.
template <class Code> struct Rules {
    OnFailure onFailure;
    Code outOfMemory;
    Code (*codeFor)(const Error&);
};

template <class Code> Code CodeFor(const Rules<Code>& rules, const Error& error) {
    return error.Primary() == SQLITE_NOMEM ? rules.outOfMemory : rules.codeFor(error);
}

// Runs `body(transaction)` in one transaction of the store and answers the body's code, or the
// code of the failure that ended the transaction. A body that answers ERROR_SUCCESS is committed;
// one that answers an error is rolled back or committed as `rules.onFailure` says; one that
// throws (Error, std::bad_alloc) is rolled back.
//
// `Transaction(write)` begins (throwing Error when it cannot), `Commit()` commits (throwing Error
// when it cannot), and the destructor rolls back whatever was not committed.
template <class Transaction, class Code, class Body>
Code RunTransaction(const Rules<Code>& rules, bool write, Body&& body) {
    try {
        Transaction transaction(write);
        const Code result = std::forward<Body>(body)(transaction);
        if (result != ERROR_SUCCESS && rules.onFailure == OnFailure::RollBack)
            return result;
        transaction.Commit();
        return result;
    } catch (const Error& error) {
        return CodeFor(rules, error);
    } catch (const std::bad_alloc&) {
        return rules.outOfMemory;
    }
}

} // namespace hostwin::sqlite
