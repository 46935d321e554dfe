/* Carpeta que empieza por punto: no se recorre (configuración). */
