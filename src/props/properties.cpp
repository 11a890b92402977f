// Adding, deleting and locating properties of every kind, on flat and hashed
// areas alike.
#include "frame/export.h"
#include "props/operations.h"

using namespace quor;
using props::BaseRKind, props::BaseVKind, props::IRKind, props::IVKind, props::Key, props::NewProperty,
    props::RKind, props::VKind;

QUOR_EXPORT uint32_t quorAddRProperty(SNodeCB_t *node, uint64_t number, int32_t value,
                                      uint32_t inCriticalSection) {
    return traced(Fn::quorAddRProperty, [&](Trace &t) {
        return props::addProperty<RKind>(t, node, NewProperty{{number}, value}, inCriticalSection);
    });
}

QUOR_EXPORT uint32_t quorAddVProperty(SNodeCB_t *node, uint64_t number, uint64_t valueSize, const void *value,
                                      uint32_t inCriticalSection) {
    return traced(Fn::quorAddVProperty, [&](Trace &t) {
        return props::addProperty<VKind>(t, node, NewProperty{{number}, 0, valueSize, value},
                                         inCriticalSection);
    });
}

QUOR_EXPORT uint32_t quorAddIRProperty(SNodeCB_t *node, uint64_t tag, uint64_t idLength, const char *id,
                                       int32_t value, uint32_t inCriticalSection) {
    return traced(Fn::quorAddIRProperty, [&](Trace &t) {
        return props::addProperty<IRKind>(t, node, NewProperty{{tag, idLength, id}, value},
                                          inCriticalSection);
    });
}

QUOR_EXPORT uint32_t quorAddIVProperty(SNodeCB_t *node, uint64_t tag, uint64_t idLength, const char *id,
                                       uint64_t valueSize, const void *value, uint32_t inCriticalSection) {
    return traced(Fn::quorAddIVProperty, [&](Trace &t) {
        return props::addProperty<IVKind>(t, node, NewProperty{{tag, idLength, id}, 0, valueSize, value},
                                          inCriticalSection);
    });
}

QUOR_EXPORT uint32_t quorDeleteRProperty(SNodeCB_t *node, uint64_t number, uint32_t inCriticalSection) {
    return traced(Fn::quorDeleteRProperty, [&](Trace &t) {
        return props::deleteProperty<RKind>(t, node, Key{number}, inCriticalSection);
    });
}

QUOR_EXPORT uint32_t quorDeleteVProperty(SNodeCB_t *node, uint64_t number, uint32_t inCriticalSection) {
    return traced(Fn::quorDeleteVProperty, [&](Trace &t) {
        return props::deleteProperty<VKind>(t, node, Key{number}, inCriticalSection);
    });
}

QUOR_EXPORT uint32_t quorDeleteIRProperty(SNodeCB_t *node, uint64_t tag, uint64_t idLength, const char *id,
                                          uint32_t inCriticalSection) {
    return traced(Fn::quorDeleteIRProperty, [&](Trace &t) {
        return props::deleteProperty<IRKind>(t, node, Key{tag, idLength, id}, inCriticalSection);
    });
}

QUOR_EXPORT uint32_t quorDeleteIVProperty(SNodeCB_t *node, uint64_t tag, uint64_t idLength, const char *id,
                                          uint32_t inCriticalSection) {
    return traced(Fn::quorDeleteIVProperty, [&](Trace &t) {
        return props::deleteProperty<IVKind>(t, node, Key{tag, idLength, id}, inCriticalSection);
    });
}

QUOR_EXPORT uint32_t quorDeleteBaseRProperty(SNodeCB_t *node, uint64_t number, uint32_t inCriticalSection) {
    return traced(Fn::quorDeleteBaseRProperty,
                  [&](Trace &t) { return props::deleteBase<BaseRKind>(t, node, number, inCriticalSection); });
}

QUOR_EXPORT uint32_t quorDeleteBaseVProperty(SNodeCB_t *node, uint64_t number, uint32_t inCriticalSection) {
    return traced(Fn::quorDeleteBaseVProperty,
                  [&](Trace &t) { return props::deleteBase<BaseVKind>(t, node, number, inCriticalSection); });
}

QUOR_EXPORT uint32_t quorGetAddressForRProperty(SNodeCB_t *node, uint64_t number,
                                                RPropertyRec_t **recordOut) {
    return traced(Fn::quorGetAddressForRProperty,
                  [&](Trace &t) { return props::getAddress<RKind>(t, node, Key{number}, recordOut); });
}

QUOR_EXPORT uint32_t quorGetAddressForVProperty(SNodeCB_t *node, uint64_t number,
                                                VPropertyRec_t **recordOut) {
    return traced(Fn::quorGetAddressForVProperty,
                  [&](Trace &t) { return props::getAddress<VKind>(t, node, Key{number}, recordOut); });
}

QUOR_EXPORT uint32_t quorGetAddressForIRProperty(SNodeCB_t *node, uint64_t tag, uint64_t idLength,
                                                 const char *id, IRPropertyRec_t **recordOut) {
    return traced(Fn::quorGetAddressForIRProperty, [&](Trace &t) {
        return props::getAddress<IRKind>(t, node, Key{tag, idLength, id}, recordOut);
    });
}

QUOR_EXPORT uint32_t quorGetAddressForIVProperty(SNodeCB_t *node, uint64_t tag, uint64_t idLength,
                                                 const char *id, IVPropertyRec_t **recordOut) {
    return traced(Fn::quorGetAddressForIVProperty, [&](Trace &t) {
        return props::getAddress<IVKind>(t, node, Key{tag, idLength, id}, recordOut);
    });
}
