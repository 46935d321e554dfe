// Cabecera .hpp: no es .c, .cpp ni .h, así que no se toca (año).
template <class T> T doble(T x) { return x + x; }
