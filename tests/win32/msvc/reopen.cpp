// ornReOpenPort as applications built against the library's first header declare it: a C++
// function, which the compiler binds to the decorated name ?ornReOpenPort@@YAHXZ. The public
// header declares it as a C function, so these declarations live in files of their own.
int ornReOpenPort();

int reopenThroughThunk() {
    return ornReOpenPort();
}
