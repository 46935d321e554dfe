/* MAYÚSCULAS: la extensión .H también cuenta. Señal ±5°. */
#define UMBRAL 5
