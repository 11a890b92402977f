// The exported operation of each kind for each per-kind family, so that an
// internal path through a family member writes that member's trace records.
#pragma once

#include "frame/functions.h"
#include "props/kinds.h"

namespace quor::props {

struct KindFunctions {
    Fn addToTable, findInTable, deleteFromTable;  // hashed table operations
    Fn firstLocation, nextLocation;               // flat walk
    Fn createList;                                // list (or Base property) creation
    Fn add, remove, locate;                       // adding, deleting, locating
};

template <class K>
struct FunctionsOf;

template <>
struct FunctionsOf<RKind> {
    static constexpr KindFunctions fn{Fn::quorAddRPropertyToHashTable,
                                      Fn::quorFindRPropertyInHashTable,
                                      Fn::quorDeleteRPropertyFromHashTable,
                                      Fn::quorGetFirstRPropertyLocation,
                                      Fn::quorGetNextRPropertyLocation,
                                      Fn::quorCreateRPropertyList,
                                      Fn::quorAddRProperty,
                                      Fn::quorDeleteRProperty,
                                      Fn::quorGetAddressForRProperty};
};
template <>
struct FunctionsOf<VKind> {
    static constexpr KindFunctions fn{Fn::quorAddVPropertyToHashTable,
                                      Fn::quorFindVPropertyInHashTable,
                                      Fn::quorDeleteVPropertyFromHashTable,
                                      Fn::quorGetFirstVPropertyLocation,
                                      Fn::quorGetNextVPropertyLocation,
                                      Fn::quorCreateVPropertyList,
                                      Fn::quorAddVProperty,
                                      Fn::quorDeleteVProperty,
                                      Fn::quorGetAddressForVProperty};
};
template <>
struct FunctionsOf<IRKind> {
    static constexpr KindFunctions fn{Fn::quorAddIRPropertyToHashTable,
                                      Fn::quorFindIRPropertyInHashTable,
                                      Fn::quorDeleteIRPropertyFromHashTable,
                                      Fn::quorGetFirstIRPropertyLocation,
                                      Fn::quorGetNextIRPropertyLocation,
                                      Fn::quorCreateIRPropertyList,
                                      Fn::quorAddIRProperty,
                                      Fn::quorDeleteIRProperty,
                                      Fn::quorGetAddressForIRProperty};
};
template <>
struct FunctionsOf<IVKind> {
    static constexpr KindFunctions fn{Fn::quorAddIVPropertyToHashTable,
                                      Fn::quorFindIVPropertyInHashTable,
                                      Fn::quorDeleteIVPropertyFromHashTable,
                                      Fn::quorGetFirstIVPropertyLocation,
                                      Fn::quorGetNextIVPropertyLocation,
                                      Fn::quorCreateIVPropertyList,
                                      Fn::quorAddIVProperty,
                                      Fn::quorDeleteIVProperty,
                                      Fn::quorGetAddressForIVProperty};
};

}  // namespace quor::props
