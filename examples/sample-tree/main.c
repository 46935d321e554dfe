/* Programa de demostración: año 1998, versión española.
 * Autor: José Muñoz. Cañón, pingüino, ¿qué tal?
 */
#include "include/config.h"

int main(void)
{
    /* Imprime el precio en euros (€) */
    return precio_en_euros(100);
}
