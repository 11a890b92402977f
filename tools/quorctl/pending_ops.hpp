// Operations of the dependent-list and property families are referenced weakly:
// a library built without them still runs every command that does not need them,
// and the ones that do say which family is missing instead of failing to load.
#pragma once

#include <string>

#include "failure.hpp"
#include "quor/quor.h"

#define QUORCTL_PENDING_OPS(X)                                                                               \
    X(quorReturnNumberOfDependentNodes)                                                                      \
    X(quorReturnDependentNodes)                                                                              \
    X(quorGetMaxIDSizeForDependentNode) X(quorCreateDependentNodeList) X(quorAddDependentNode) X(            \
        quorGetTreeInfo) X(quorGetNumberOfRProperties) X(quorGetNumberOfVProperties)                         \
        X(quorGetNumberOfIRProperties) X(quorGetNumberOfIVProperties) X(quorReturnRProperties) X(            \
            quorReturnVProperties) X(quorReturnIRProperties) X(quorReturnIVProperties)                       \
            X(quorReturnBaseRProperty) X(quorReturnBaseVProperty) X(quorGetValueForRProperty) X(             \
                quorGetValueForVProperty) X(quorGetValueForIRProperty) X(quorGetValueForIVProperty)          \
                X(quorGetValueForBaseRProperty) X(quorGetValueForBaseVProperty) X(quorGetRCForRProperty) X(  \
                    quorGetRCForVProperty) X(quorGetRCForIRProperty) X(quorGetRCForIVProperty)               \
                    X(quorGetRCForBaseRProperty) X(quorGetRCForBaseVProperty) X(quorSetValueForRProperty) X( \
                        quorSetValueForVProperty) X(quorSetValueForIRProperty) X(quorSetValueForIVProperty)  \
                        X(quorSetValueForBaseRProperty) X(quorSetValueForBaseVProperty)                      \
                            X(quorSetRCForRProperty) X(quorSetRCForVProperty) X(quorSetRCForIRProperty)      \
                                X(quorSetRCForIVProperty) X(quorSetRCForBaseRProperty) X(                    \
                                    quorSetRCForBaseVProperty) X(quorGetHashTableSizeForRVProperties)        \
                                    X(quorGetHashTableSizeForIRVProperties) X(quorGetMaxVSizeForVProperties) \
                                        X(quorGetMaxIDSizeForIRProperties)                                   \
                                            X(quorGetMaxIDVSizeForIVProperties) X(quorCreateRPropertyList)   \
                                                X(quorCreateVPropertyList) X(quorCreateIRPropertyList)       \
                                                    X(quorCreateIVPropertyList) X(quorCreateBaseRProperty)   \
                                                        X(quorCreateBaseVProperty)

#define QUORCTL_WEAK(name) _Pragma(QUORCTL_STR(weak name))
#define QUORCTL_STR(x) #x
QUORCTL_PENDING_OPS(QUORCTL_WEAK)
#undef QUORCTL_WEAK

namespace quorctl {

// Throws when the library lacks `op`; `family` names what the user asked for.
template <class Fn>
inline void require(Fn *op, const char *family) {
    if (op == nullptr) throw Failure(kExitLibrary, std::string("this library build has no ") + family);
}

}  // namespace quorctl
