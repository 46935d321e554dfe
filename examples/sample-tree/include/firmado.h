/* Este archivo ya está firmado como UTF-8: se deja como está. */
#define SALUDO "¡Hola, mañana!"
