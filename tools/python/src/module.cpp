// _kelvane: the compiled half of the Python package. One Engine object owns
// one kelvane_engine of the C interface; the package's Fusion class checks
// and converts the caller's arrays and drives it.
//
// Every call runs without the GIL and under the engine's own lock: the
// library wants one caller at a time, and without the GIL Python no longer
// serialises the threads that share a Fusion object. Arrays the library
// hands out become numpy arrays without a copy: each numpy array owns the
// library's buffer through a capsule that gives it back with kelvane_free
// when the last view of it goes away.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "fusion/kelvane_c.h"

namespace py = pybind11;

namespace {

// A non-zero status with the library's message, raised in Python as
// kelvane.Error (kelvane.OutOfMemory, also a MemoryError, for 66049).
struct StatusError {
    int status;
    std::string message;
};

// Created once with the module and kept for the life of the process (never
// released, so nothing touches them after the interpreter has finished).
py::handle g_error_type;
py::handle g_out_of_memory_type;

// Releases an array of the library when it goes out of scope.
struct LibraryArray {
    void operator()(void* array) const { kelvane_free(array); }
};
using VertexArray = std::unique_ptr<kelvane_vertex, LibraryArray>;
using ByteArray = std::unique_ptr<unsigned char, LibraryArray>;

const kelvane_point* pointsOf(const py::array& points, const char* what) {
    if (!points.dtype().equal(py::dtype::of<kelvane_point>()) || points.ndim() != 1 ||
        (points.size() > 1 && points.strides(0) != py::ssize_t(sizeof(kelvane_point)))) {
        throw py::value_error(std::string(what) +
                              ": expected a contiguous 1-D array of POINT_DTYPE");
    }
    return static_cast<const kelvane_point*>(points.data());
}

const int* intsOf(const py::array& values, const char* what) {
    if (!values.dtype().equal(py::dtype::of<int>()) || values.ndim() != 1 ||
        (values.size() > 1 && values.strides(0) != py::ssize_t(sizeof(int)))) {
        throw py::value_error(std::string(what) + ": expected a contiguous 1-D int32 array");
    }
    return static_cast<const int*>(values.data());
}

// The capsule that owns a library array for numpy. The array passes into it
// only once the capsule exists, so a failure on the way still releases it.
template <class T>
py::capsule libraryOwner(std::unique_ptr<T, LibraryArray>& array) {
    py::capsule owner(array.get(), [](void* p) { kelvane_free(p); });
    array.release();
    return owner;
}

py::array_t<kelvane_vertex> toNumpy(VertexArray vertices, int count) {
    if (vertices == nullptr || count <= 0) return py::array_t<kelvane_vertex>(0);
    kelvane_vertex* data = vertices.get();
    py::capsule owner = libraryOwner(vertices);
    return py::array_t<kelvane_vertex>(count, data, owner);
}

class Engine {
public:
    Engine() : m_engine(kelvane_create()) {
        if (m_engine == nullptr) throw std::bad_alloc();
    }
    ~Engine() {
        // Holding the GIL is harmless here: the library's threads never
        // touch Python.
        if (m_engine != nullptr) kelvane_destroy(m_engine);
    }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    void close() {
        py::gil_scoped_release release;
        std::lock_guard<std::mutex> lock(m_mutex);
        kelvane_destroy(m_engine);
        m_engine = nullptr;
    }
    bool closed() const { return m_engine == nullptr; }

    void init() {
        run([](kelvane_engine* e) { return kelvane_init(e); });
    }
    void deinit() {
        run([](kelvane_engine* e) { return kelvane_deinit(e); });
    }
    void reset() {
        run([](kelvane_engine* e) { return kelvane_reset(e); });
    }
    void organize() {
        run([](kelvane_engine* e) { return kelvane_organize(e); });
    }
    void setResolution(float resolution) {
        run([=](kelvane_engine* e) { return kelvane_set_resolution(e, resolution); });
    }
    void setQualityJudge(bool on) {
        run([=](kelvane_engine* e) { return kelvane_set_quality_judge(e, on ? 1 : 0); });
    }
    void setDeviceInfo(int device_type, int device_subtype, int frame_point_num,
                       float point_spacing) {
        kelvane_device_info device{};
        device.device_type = device_type;
        device.device_subtype = device_subtype;
        device.frame_point_num = frame_point_num;
        device.point_spacing = point_spacing;
        run([&](kelvane_engine* e) { return kelvane_set_device_info(e, &device); });
    }

    void process(const py::array& points, const py::array& offsets, const py::array& indices,
                 const py::array& pose, bool blocking) {
        const kelvane_point* p = pointsOf(points, "points");
        const int* o = intsOf(offsets, "view offsets");
        const int* i = intsOf(indices, "view indices");
        if (!pose.dtype().equal(py::dtype::of<double>()) || pose.size() != 16 ||
            !(pose.flags() & py::array::c_style)) {
            throw py::value_error("pose: expected 16 contiguous float64 values");
        }
        const auto* m = static_cast<const double*>(pose.data());
        const int count = int(points.size());
        const int view_count = offsets.size() > 0 ? int(offsets.size()) - 1 : 0;
        run([&](kelvane_engine* e) {
            return kelvane_process(e, p, count, view_count > 0 ? o : nullptr,
                                   view_count > 0 ? i : nullptr, view_count, m, blocking ? 1 : 0);
        });
    }

    void wait() {
        run([](kelvane_engine* e) {
            kelvane_wait(e);
            return 0;
        });
    }

    py::array_t<kelvane_vertex> extract() { return vertices(kelvane_extract_points); }
    py::array_t<kelvane_vertex> updates() { return vertices(kelvane_get_updates); }

    int vertexCount() {
        int count = 0;
        run([&](kelvane_engine* e) { return kelvane_vertex_count(e, &count); });
        return count;
    }
    int droppedSecondStages() {
        int count = 0;
        run([&](kelvane_engine* e) { return kelvane_dropped_second_stages(e, &count); });
        return count;
    }

    py::array_t<uint8_t> save() {
        unsigned char* data = nullptr;
        unsigned long long size = 0;
        run([&](kelvane_engine* e) { return kelvane_save(e, &data, &size); });
        ByteArray owned(data);
        if (owned == nullptr || size == 0) return py::array_t<uint8_t>(0);
        py::capsule owner = libraryOwner(owned);
        return py::array_t<uint8_t>(static_cast<py::ssize_t>(size), data, owner);
    }

    py::array_t<kelvane_vertex> load(const py::buffer& stream) {
        const py::buffer_info info = stream.request();
        if (info.ndim != 1 || info.itemsize != 1 || (info.size > 1 && info.strides[0] != 1)) {
            throw py::value_error("load: expected contiguous bytes");
        }
        const auto* data = static_cast<const unsigned char*>(info.ptr);
        const auto size = static_cast<unsigned long long>(info.size);
        return vertices([&](kelvane_engine* e, kelvane_vertex** out, int* count) {
            return kelvane_load(e, data, size, out, count);
        });
    }

    py::array_t<kelvane_vertex> build(const py::array& points) {
        const kelvane_point* p = pointsOf(points, "points");
        const int count = int(points.size());
        return vertices([&](kelvane_engine* e, kelvane_vertex** out, int* n) {
            return kelvane_build(e, p, count, out, n);
        });
    }

    void deleteArea(const py::array& points) { edit(points, kelvane_delete_area); }
    void setFineScanArea(const py::array& points) { edit(points, kelvane_set_fine_scan_area); }
    void setProtectedArea(const py::array& points, bool unprotect) {
        edit(points, [=](kelvane_engine* e, const kelvane_point* p, int n) {
            return kelvane_set_protected_area(e, p, n, unprotect ? 1 : 0);
        });
    }

private:
    // Runs one call of the C interface without the GIL and under the lock,
    // and turns a non-zero status into StatusError with the message read
    // while still holding the lock (the next call would replace it).
    template <class Call>
    void run(Call&& call) {
        int status = 0;
        std::string message;
        {
            py::gil_scoped_release release;
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_engine == nullptr) {
                status = -1;
            } else {
                status = call(m_engine);
                if (status != 0) message = kelvane_last_error(m_engine);
            }
        }
        if (status == -1) throw py::value_error("the Fusion object is closed");
        if (status != 0) throw StatusError{status, std::move(message)};
    }

    template <class Call>
    py::array_t<kelvane_vertex> vertices(Call&& call) {
        kelvane_vertex* array = nullptr;
        int count = 0;
        run([&](kelvane_engine* e) { return call(e, &array, &count); });
        return toNumpy(VertexArray(array), count);
    }

    template <class Call>
    void edit(const py::array& points, Call&& call) {
        const kelvane_point* p = pointsOf(points, "points");
        const int count = int(points.size());
        run([&](kelvane_engine* e) { return call(e, p, count); });
    }

    kelvane_engine* m_engine;
    std::mutex m_mutex;
};

}  // namespace

PYBIND11_MODULE(_kelvane, m) {
    m.doc() = "Compiled core of the kelvane package; use kelvane.Fusion.";

    PYBIND11_NUMPY_DTYPE_EX(kelvane_point, position, "position", normal, "normal", attributes,
                            "attributes");
    PYBIND11_NUMPY_DTYPE_EX(kelvane_vertex, position, "position", normal, "normal", view_id,
                            "view_id", state, "state", reserved, "reserved", scan_level,
                            "scan_level", protected_flag, "protected", quality_code, "quality");
    m.attr("POINT_DTYPE") = py::dtype::of<kelvane_point>();
    m.attr("VERTEX_DTYPE") = py::dtype::of<kelvane_vertex>();

    g_error_type = PyErr_NewExceptionWithDoc(
        "kelvane.Error",
        "A non-zero status from the library: .status holds it, .message the library's text.",
        PyExc_RuntimeError, nullptr);
    if (!g_error_type) throw py::error_already_set();
    const py::tuple bases = py::make_tuple(py::handle(PyExc_MemoryError), g_error_type);
    g_out_of_memory_type = PyErr_NewExceptionWithDoc(
        "kelvane.OutOfMemory", "Status 66049: the library could not allocate memory.", bases.ptr(),
        nullptr);
    if (!g_out_of_memory_type) throw py::error_already_set();
    m.attr("Error") = g_error_type;
    m.attr("OutOfMemory") = g_out_of_memory_type;
    m.attr("OUT_OF_MEMORY") = KELVANE_OUT_OF_MEMORY;
    m.attr("INVALID_ARGUMENT") = KELVANE_INVALID_ARGUMENT;

    py::register_exception_translator([](std::exception_ptr raised) {
        try {
            if (raised) std::rethrow_exception(raised);
        } catch (const StatusError& error) {
            const py::handle type =
                error.status == KELVANE_OUT_OF_MEMORY ? g_out_of_memory_type : g_error_type;
            py::object instance =
                type(error.message + " (status " + std::to_string(error.status) + ")");
            instance.attr("status") = error.status;
            instance.attr("message") = error.message;
            PyErr_SetObject(type.ptr(), instance.ptr());
        }
    });

    py::class_<Engine>(m, "Engine")
        .def(py::init<>())
        .def("close", &Engine::close)
        .def_property_readonly("closed", &Engine::closed)
        .def("init", &Engine::init)
        .def("deinit", &Engine::deinit)
        .def("reset", &Engine::reset)
        .def("organize", &Engine::organize)
        .def("set_resolution", &Engine::setResolution)
        .def("set_quality_judge", &Engine::setQualityJudge)
        .def("set_device_info", &Engine::setDeviceInfo)
        .def("process", &Engine::process)
        .def("wait", &Engine::wait)
        .def("extract", &Engine::extract)
        .def("updates", &Engine::updates)
        .def("vertex_count", &Engine::vertexCount)
        .def("dropped_second_stages", &Engine::droppedSecondStages)
        .def("save", &Engine::save)
        .def("load", &Engine::load)
        .def("build", &Engine::build)
        .def("delete_area", &Engine::deleteArea)
        .def("set_fine_scan_area", &Engine::setFineScanArea)
        .def("set_protected_area", &Engine::setProtectedArea);
}
