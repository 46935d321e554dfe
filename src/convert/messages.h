#pragma once

// Every line the programs print on standard output. They are fixed texts, byte for
// byte, and name no file; the file and the reason go to standard error.

#include <string_view>

namespace nivra {

inline constexpr std::string_view MSG_OPEN_FAILED = "Error abriendo el archivo\n";
inline constexpr std::string_view MSG_READ_FAILED = "Error leyendo el archivo\n";
inline constexpr std::string_view MSG_ALREADY_SIGNED =
    "El archivo ya esta firmado como UTF8, se omitira\n";
inline constexpr std::string_view MSG_NOT_SIGNED =
    "El archivo no esta firmado como UTF8, se omitira\n";
inline constexpr std::string_view MSG_CREATE_FAILED = "Error abriendo el archivo para escritura\n";
inline constexpr std::string_view MSG_WRITE_FAILED = "Error escribiendo el archivo\n";
inline constexpr std::string_view MSG_BACKUP_FAILED = "Error creando la copia de seguridad\n";
inline constexpr std::string_view MSG_LOSSY =
    "El archivo no se puede convertir sin perdida, se omitira\n";
inline constexpr std::string_view MSG_CHANGED =
    "El archivo cambio durante la conversion, se omitira\n";
inline constexpr std::string_view MSG_DIR_FAILED = "Error abriendo el directorio\n";

}  // namespace nivra
