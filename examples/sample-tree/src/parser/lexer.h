// Déclarations de l'analyseur — ne pas modifier à la légère.
#pragma once
namespace parser { int compte_lignes(const char* texte); }
