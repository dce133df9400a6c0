#include "python/rl/lesson_method.hpp"

#include "agents/belief_search.hpp"
#include "agents/search_lesson.hpp"
#include "encode/action_index.hpp"
#include "python/conversions.hpp"
#include "python/rl/arrays.hpp"
#include "python/rl/batch_object.hpp"
#include "python/rl/released.hpp"

namespace murkplay::python::rl {

PyObject* best_slots_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"depth", nullptr};
    PyObject* depth_argument = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$O:best_slots", const_cast<char**>(keywords),
                                     &depth_argument)) {
        return nullptr;
    }
    std::uint64_t depth = 2;
    if (!read_integer(depth_argument, "depth", 1, agents::max_search_depth, depth)) return nullptr;
    return with_batch<Access::Shared>(self, [&](const batch::GameBatch& batch) -> PyObject* {
        ArrayView view;
        Ref mask = new_array(Element::Byte, {static_cast<Py_ssize_t>(batch.size()), action_count}, view);
        if (!mask) return nullptr;
        const bool ran = run_released([&](parallel::Stop& stop) {
            agents::best_slots(batch, static_cast<int>(depth), view.data<std::uint8_t>(), stop);
        });
        return ran ? mask.release() : nullptr;
    });
}

}  // namespace murkplay::python::rl
