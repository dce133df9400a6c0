// The Python object of one game: the header, the game record by value, the borrow counter.
#pragma once

#include <new>

#include "game/game.hpp"
#include "python/borrow.hpp"

namespace murkplay::python {

struct GameObject {
    PyObject_HEAD
    Game game;
    BorrowCounter borrow;
};

inline GameObject* as_game(PyObject* self) { return reinterpret_cast<GameObject*>(self); }

// A new, unborrowed game object of `type` holding a copy of `game`.
inline PyObject* new_game_object(PyTypeObject* type, const Game& game) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    GameObject* object = as_game(self);
    object->game = game;
    new (&object->borrow) BorrowCounter(0);
    return self;
}

// A copy of the game `object` holds, taken under a shared borrow; false, with the borrow's
// RuntimeError set, while the game is being changed.
inline bool copy_game(PyObject* object, Game& out) {
    const BorrowGuard guard(as_game(object)->borrow, Access::Shared);
    if (guard) out = as_game(object)->game;
    return static_cast<bool>(guard);
}

// Runs `body` on the game under a borrow of the given kind; a refused borrow raises instead.
template <Access access, typename Body>
PyObject* with_game(PyObject* self, Body&& body) {
    return with_borrowed<access>(as_game(self)->borrow, as_game(self)->game, body);
}

// The class's slots and item tables, defined beside the method bodies.
extern PyType_Spec game_type_spec;

}  // namespace murkplay::python
