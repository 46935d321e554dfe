/* Configuración: “comillas tipográficas”, guión largo — y el símbolo €. */
#define MONEDA "€"
int precio_en_euros(int centimos);
