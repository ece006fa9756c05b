#include "core/kopxutils_words.h"

#include <array>
#include <iterator>

#include "platform/system.h"

namespace pixoran {

namespace {

// Word order is the same in every row; an empty text means "none". Every
// tenth word is numbered, so the rows can be compared by eye.
// clang-format off
const char* const kEnglish[] = {
    "Preview", "Original", "Result", "OK", "Cancel", "Lock preview", "Copy Result to Original", "Contrast",
    "Brightness", "Hue",
    // 10
    "Saturation", "Value", "Base color", "New color", "Luminosity", "Red", "Green", "Blue", "Filter values",
    "Presets",
    // 20
    "Divisor", "Load", "Save", "Equalization", "Threshold", "Equalize", "Histogram", "Gray", "Light", "Left",
    // 30
    "Top", "Width", "Height", "Color", "Original image quantity", "Lens", "Refraction", "Parameters Preview",
    "Quality", "DCT method",
    // 40
    "Smoothing factor", "Gray scale", "Optimal Huffman", "Original size", "Compressed size", "Advanced",
    "Progressive", "Compression", "Image index", "Photometric",
    // 50
    "Scanned document info", "Name", "Description", "Page name", "Page number", "of", "Horiz. Position (inch)",
    "Vert. Position (inch)", "Colors", "Transparent",
    // 60
    "Transparent color", "Interlaced", "Background", "Horiz. Position", "Vert. Position", "Delay time", "Filter",
    "Wave", "Amplitude", "Wave length",
    // 70
    "Phase", "Reflective", "User filter", "Morphing filters", "Window size", "Maximum", "Minimum", "Opening",
    "Closing", "Rotate",
    // 80
    "Flip", "Horizontal", "Vertical", "Frequency domain image", "Select the region to clean", "Clear", "Reset",
    "Animate", "Load filter", "Save filter",
    // 90
    "Bump map", "Print", "Margins", "inches", "Right", "Bottom", "Position", "Size", "Normal", "Fit to page",
    // 100
    "Stretch to page", "Specified size", "Gamma correction", "Value", "Print Setup", "Left Margin", "Top Margin",
    "Right Margin", "Bottom Margin", "Location/size",
    // 110
    "Top Left", "Top Center", "Top Right", "Center Left", "Center", "Center Right", "Bottom Left", "Bottom Center",
    "Bottom Right", "Close",
    // 120
    "Apply", "Measure Units", "Units", "Rate", "All graphics", "Video for Windows", "File", "Mem",
    "Automatically updates your preview with the changes you have selected", "Print All",
    // 130
    "Print Selected"};

const char* const kItalian[] = {
    "Anteprima", "Originale", "Risultato", "OK", "Annulla", "Blocca anteprima", "Copia risultato sull'originale",
    "Contrasto", "Luminosità", "Tinta",
    // 10
    "Saturazione", "Valore", "Colore base", "Nuovo colore", "Luminanza", "Rosso", "Verde", "Blu", "Valori filtro",
    "Predefiniti",
    // 20
    "Divisore", "Carica", "Salva", "Equalizzazione", "Soglia", "Equalizza", "Istogramma", "Grigio", "Luce",
    "Sinistra",
    // 30
    "Alto", "Larghezza", "Altezza", "Colore", "Quantità immagine originale", "Lente", "Rifrazione",
    "Anteprima parametri", "Qualità", "Metodo DCT",
    // 40
    "Fattore di smussatura", "Scala di grigi", "Huffman ottimale", "Dimensione originale", "Dimensione compressa",
    "Avanzate", "Progressivo", "Compressione", "Indice immagine", "Fotometria",
    // 50
    "Informazioni documento acquisito", "Nome", "Descrizione", "Nome pagina", "Numero pagina", "di",
    "Posizione orizz. (pollici)", "Posizione vert. (pollici)", "Colori", "Trasparente",
    // 60
    "Colore trasparente", "Interlacciato", "Sfondo", "Posizione orizz.", "Posizione vert.", "Ritardo", "Filtro",
    "Onda", "Ampiezza", "Lunghezza d'onda",
    // 70
    "Fase", "Riflettente", "Filtro utente", "Filtri morfologici", "Dimensione finestra", "Massimo", "Minimo",
    "Apertura", "Chiusura", "Ruota",
    // 80
    "Capovolgi", "Orizzontale", "Verticale", "Immagine nel dominio delle frequenze",
    "Seleziona la regione da pulire", "Pulisci", "Reimposta", "Anima", "Carica filtro", "Salva filtro",
    // 90
    "Mappa di rilievo", "Stampa", "Margini", "pollici", "Destra", "Basso", "Posizione", "Dimensione", "Normale",
    "Adatta alla pagina",
    // 100
    "Estendi alla pagina", "Dimensione specificata", "Correzione gamma", "Valore", "Imposta stampante",
    "Margine sinistro", "Margine superiore", "Margine destro", "Margine inferiore", "Posizione/dimensione",
    // 110
    "In alto a sinistra", "In alto al centro", "In alto a destra", "Al centro a sinistra", "Centro",
    "Al centro a destra", "In basso a sinistra", "In basso al centro", "In basso a destra", "Chiudi",
    // 120
    "Applica", "Unità di misura", "Unità", "Qualità", "Tutti i grafici", "Video per Windows", "File", "Mem",
    "Aggiorna automaticamente l'anteprima con le modifiche selezionate", "Stampa tutto",
    // 130
    "Stampa selezionati"};

const char* const kGerman[] = {
    "Vorschau", "Original", "Ergebnis", "OK", "Abbrechen", "Vorschau sperren", "Ergebnis ins Original kopieren",
    "Kontrast", "Helligkeit", "Farbton",
    // 10
    "Sättigung", "Wert", "Grundfarbe", "Neue Farbe", "Luminanz", "Rot", "Grün", "Blau", "Filterwerte",
    "Voreinstellungen",
    // 20
    "Divisor", "Laden", "Speichern", "Ausgleich", "Schwellenwert", "Ausgleichen", "Histogramm", "Grau", "Licht",
    "Links",
    // 30
    "Oben", "Breite", "Höhe", "Farbe", "Anteil des Originalbildes", "Linse", "Brechung", "Parametervorschau",
    "Qualität", "DCT-Methode",
    // 40
    "Glättungsfaktor", "Graustufen", "Optimales Huffman", "Originalgröße", "Komprimierte Größe", "Erweitert",
    "Progressiv", "Komprimierung", "Bildindex", "Photometrie",
    // 50
    "Info zum gescannten Dokument", "Name", "Beschreibung", "Seitenname", "Seitennummer", "von",
    "Horiz. Position (Zoll)", "Vert. Position (Zoll)", "Farben", "Transparent",
    // 60
    "Transparente Farbe", "Interlaced", "Hintergrund", "Horiz. Position", "Vert. Position", "Verzögerung",
    "Filter", "Welle", "Amplitude", "Wellenlänge",
    // 70
    "Phase", "Spiegelnd", "Benutzerfilter", "Morphologische Filter", "Fenstergröße", "Maximum", "Minimum",
    "Öffnen", "Schließen", "Drehen",
    // 80
    "Spiegeln", "Horizontal", "Vertikal", "Bild im Frequenzbereich", "Zu bereinigenden Bereich wählen", "Löschen",
    "Zurücksetzen", "Animieren", "Filter laden", "Filter speichern",
    // 90
    "Bump-Map", "Drucken", "Ränder", "Zoll", "Rechts", "Unten", "Position", "Größe", "Normal",
    "Druckbereich auf Seite anpassen",
    // 100
    "Auf Seite strecken", "Angegebene Größe", "Gammakorrektur", "Wert", "Druckereinrichtung", "Linker Rand",
    "Oberer Rand", "Rechter Rand", "Unterer Rand", "Lage/Größe",
    // 110
    "Oben links", "Oben Mitte", "Oben rechts", "Mitte links", "Mitte", "Mitte rechts", "Unten links",
    "Unten Mitte", "Unten rechts", "Schließen",
    // 120
    "Anwenden", "Maßeinheiten", "Einheiten", "Rate", "Alle Grafiken", "Video für Windows", "Datei", "Speicher",
    "Aktualisiert die Vorschau automatisch mit den gewählten Änderungen", "Alle drucken",
    // 130
    "Auswahl drucken"};

const char* const kSpanish[] = {
    "Vista Previa", "Original", "Resultado", "Aceptar", "Cancelar", "Bloquear vista previa",
    "Copiar resultado al original", "Contraste", "Brillo", "Tono",
    // 10
    "Saturación", "Valor", "Color base", "Nuevo color", "Luminosidad", "Rojo", "Verde", "Azul",
    "Valores del filtro", "Predefinidos",
    // 20
    "Divisor", "Cargar", "Guardar", "Ecualización", "Umbral", "Ecualizar", "Histograma", "Gris", "Luz",
    "Izquierda",
    // 30
    "Arriba", "Ancho", "Alto", "Color", "Cantidad de imagen original", "Lente", "Refracción",
    "Vista previa de parámetros", "Calidad", "Método DCT",
    // 40
    "Factor de suavizado", "Escala de grises", "Huffman óptimo", "Tamaño original", "Tamaño comprimido",
    "Avanzado", "Progresivo", "Compresión", "Índice de imagen", "Fotométrico",
    // 50
    "Información del documento escaneado", "Nombre", "Descripción", "Nombre de página", "Número de página", "de",
    "Posición horiz. (pulgadas)", "Posición vert. (pulgadas)", "Colores", "Transparente",
    // 60
    "Color transparente", "Entrelazado", "Fondo", "Posición horiz.", "Posición vert.", "Tiempo de retardo",
    "Filtro", "Onda", "Amplitud", "Longitud de onda",
    // 70
    "Fase", "Reflectante", "Filtro de usuario", "Filtros morfológicos", "Tamaño de ventana", "Máximo", "Mínimo",
    "Apertura", "Cierre", "Girar",
    // 80
    "Voltear", "Horizontal", "Vertical", "Imagen en el dominio de la frecuencia",
    "Seleccione la región a limpiar", "Borrar", "Restablecer", "Animar", "Cargar filtro", "Guardar filtro",
    // 90
    "Mapa de relieve", "Imprimir", "Márgenes", "pulgadas", "Derecha", "Abajo", "Posición", "Tamaño", "Normal",
    "Ajustar a la página",
    // 100
    "Estirar a la página", "Tamaño especificado", "Corrección gamma", "Valor", "Configurar impresora",
    "Margen izquierdo", "Margen superior", "Margen derecho", "Margen inferior", "Ubicación/tamaño",
    // 110
    "Arriba a la izquierda", "Arriba al centro", "Arriba a la derecha", "Centro a la izquierda", "Centro",
    "Centro a la derecha", "Abajo a la izquierda", "Abajo al centro", "Abajo a la derecha", "Cerrar",
    // 120
    "Aplicar", "Unidades de medida", "Unidades", "Rate", "Todos los gráficos", "Vídeo para Windows", "Archivo",
    "Mem", "Actualiza automáticamente la vista previa con los cambios seleccionados", "Imprimir todo",
    // 130
    "Imprimir selección"};

const char* const kFrench[] = {
    "Prévisualisation", "Original", "Résultat", "Ok", "Annuler", "Verrouiller l'aperçu",
    "Copier le résultat vers l'original", "Contraste", "Luminosité", "Teinte",
    // 10
    "Saturation", "Valeur", "Couleur de base", "Nouvelle couleur", "Luminance", "Rouge", "Vert", "Bleu",
    "Valeurs du filtre", "Préréglages",
    // 20
    "Diviseur", "Charger", "Enregistrer", "Égalisation", "Seuil", "Égaliser", "Histogramme", "Gris", "Lumière",
    "Gauche",
    // 30
    "Haut", "Largeur", "Hauteur", "Couleur", "Quantité de l'image originale", "Lentille", "Réfraction",
    "Aperçu des paramètres", "Qualité", "Méthode DCT",
    // 40
    "Facteur de lissage", "Niveaux de gris", "Huffman optimal", "Taille originale", "Taille compressée", "Avancé",
    "Progressif", "Compression", "Index de l'image", "Photométrie",
    // 50
    "Infos du document numérisé", "Nom", "Description", "Nom de la page", "Numéro de page", "sur",
    "Position horiz. (pouces)", "Position vert. (pouces)", "Couleurs", "Transparent",
    // 60
    "Couleur transparente", "Entrelacé", "Arrière-plan", "Position horiz.", "Position vert.", "Délai", "Filtre",
    "Onde", "Amplitude", "Longueur d'onde",
    // 70
    "Phase", "Réfléchissant", "Filtre utilisateur", "Filtres morphologiques", "Taille de la fenêtre", "Maximum",
    "Minimum", "Ouverture", "Fermeture", "Rotation",
    // 80
    "Retourner", "Horizontal", "Vertical", "Image dans le domaine fréquentiel", "Sélectionnez la zone à nettoyer",
    "Effacer", "Réinitialiser", "Animer", "Charger le filtre", "Enregistrer le filtre",
    // 90
    "Carte de relief", "Imprimer", "Marges", "pouces", "Droite", "Bas", "Position", "Taille", "Normal",
    "Adapter à la page",
    // 100
    "Étirer sur la page", "Taille spécifiée", "Correction gamma", "Valeur", "Configuration de l'impression",
    "Marge gauche", "Marge haute", "Marge droite", "Marge basse", "Position/taille",
    // 110
    "En haut à gauche", "En haut au centre", "En haut à droite", "Au centre à gauche", "Centre",
    "Au centre à droite", "En bas à gauche", "En bas au centre", "En bas à droite", "Fermer",
    // 120
    "Appliquer", "Unités de mesure", "Unités", "Rate", "Tous les graphiques", "Vidéo pour Windows", "Fichier",
    "Mém", "Met à jour automatiquement l'aperçu avec les modifications choisies", "Tout imprimer",
    // 130
    "Imprimer la sélection"};

const char* const kPortuguese[] = {
    "Visualizar", "Original", "Resultado", "OK", "Cancelar", "Bloquear visualização",
    "Copiar resultado para o original", "Contraste", "Brilho", "Matiz",
    // 10
    "Saturação", "Valor", "Cor base", "Nova cor", "Luminosidade", "Vermelho", "Verde", "Azul",
    "Valores do filtro", "Predefinições",
    // 20
    "Divisor", "Carregar", "Salvar", "Equalização", "Limiar", "Equalizar", "Histograma", "Cinza", "Luz",
    "Esquerda",
    // 30
    "Topo", "Largura", "Altura", "Cor", "Quantidade da imagem original", "Lente", "Refração",
    "Visualizar parâmetros", "Qualidade", "Método DCT",
    // 40
    "Fator de suavização", "Escala de cinza", "Huffman ótimo", "Tamanho original", "Tamanho comprimido",
    "Avançado", "Progressivo", "Compressão", "Índice da imagem", "Fotométrico",
    // 50
    "Informações do documento digitalizado", "Nome", "Descrição", "Nome da página", "Número da página", "de",
    "Posição horiz. (polegadas)", "Posição vert. (polegadas)", "Cores", "Transparente",
    // 60
    "Cor transparente", "Entrelaçado", "Fundo", "Posição horiz.", "Posição vert.", "Tempo de espera", "Filtro",
    "Onda", "Amplitude", "Comprimento de onda",
    // 70
    "Fase", "Reflexivo", "Filtro do usuário", "Filtros morfológicos", "Tamanho da janela", "Máximo", "Mínimo",
    "Abertura", "Fechamento", "Girar",
    // 80
    "Inverter", "Horizontal", "Vertical", "Imagem no domínio da frequência", "Selecione a região a limpar",
    "Limpar", "Redefinir", "Animar", "Carregar filtro", "Salvar filtro",
    // 90
    "Mapa de relevo", "Imprimir", "Margens", "polegadas", "Direita", "Base", "Posição", "Tamanho", "Normal",
    "Ajustar à página",
    // 100
    "Esticar na página", "Tamanho especificado", "Correção gama", "Valor", "Configurar impressão",
    "Margem esquerda", "Margem superior", "Margem direita", "Margem inferior", "Local/tamanho",
    // 110
    "Superior esquerdo", "Superior central", "Superior direito", "Centro esquerdo", "Centro", "Centro direito",
    "Inferior esquerdo", "Inferior central", "Inferior direito", "Fechar",
    // 120
    "Aplicar", "Unidades de medida", "Unidades", "Rate", "Todos os gráficos", "Vídeo para Windows", "Arquivo",
    "Mem", "Atualiza automaticamente a visualização com as alterações selecionadas", "Imprimir tudo",
    // 130
    "Imprimir seleção"};

const char* const kGreek[] = {
    "Προεπισκόπηση", "Αρχική", "Αποτέλεσμα", "OK", "Άκυρο", "Κλείδωμα προεπισκόπησης",
    "Αντιγραφή αποτελέσματος στην αρχική", "Αντίθεση", "Φωτεινότητα", "Απόχρωση",
    // 10
    "Κορεσμός", "Τιμή", "Βασικό χρώμα", "Νέο χρώμα", "Φωτεινότητα", "Κόκκινο", "Πράσινο", "Μπλε",
    "Τιμές φίλτρου", "Προεπιλογές",
    // 20
    "Διαιρέτης", "Φόρτωση", "Αποθήκευση", "Εξισορρόπηση", "Κατώφλι", "Εξισορρόπηση", "Ιστόγραμμα", "Γκρι", "Φως",
    "Αριστερά",
    // 30
    "Πάνω", "Πλάτος", "Ύψος", "Χρώμα", "Ποσότητα αρχικής εικόνας", "Φακός", "Διάθλαση",
    "Προεπισκόπηση παραμέτρων", "Ποιότητα", "Μέθοδος DCT",
    // 40
    "Συντελεστής εξομάλυνσης", "Κλίμακα του γκρι", "Βέλτιστο Huffman", "Αρχικό μέγεθος", "Συμπιεσμένο μέγεθος",
    "Για προχωρημένους", "Προοδευτική", "Συμπίεση", "Δείκτης εικόνας", "Φωτομετρία",
    // 50
    "Πληροφορίες σαρωμένου εγγράφου", "Όνομα", "Περιγραφή", "Όνομα σελίδας", "Αριθμός σελίδας", "από",
    "Οριζ. θέση (ίντσες)", "Κατακ. θέση (ίντσες)", "Χρώματα", "Διαφανές",
    // 60
    "Διαφανές χρώμα", "Πεπλεγμένη", "Φόντο", "Οριζ. θέση", "Κατακ. θέση", "Καθυστέρηση", "Φίλτρο", "Κύμα",
    "Πλάτος κύματος", "Μήκος κύματος",
    // 70
    "Φάση", "Ανακλαστικό", "Φίλτρο χρήστη", "Μορφολογικά φίλτρα", "Μέγεθος παραθύρου", "Μέγιστο", "Ελάχιστο",
    "Άνοιγμα", "Κλείσιμο", "Περιστροφή",
    // 80
    "Αναστροφή", "Οριζόντια", "Κατακόρυφα", "Εικόνα στο πεδίο συχνοτήτων", "Επιλέξτε την περιοχή για καθαρισμό",
    "Καθαρισμός", "Επαναφορά", "Κίνηση", "Φόρτωση φίλτρου", "Αποθήκευση φίλτρου",
    // 90
    "Χάρτης ανάγλυφου", "Εκτύπωση", "Περιθώρια", "ίντσες", "Δεξιά", "Κάτω", "Θέση", "Μέγεθος", "Κανονικό",
    "Προσαρμογή στη σελίδα",
    // 100
    "Επέκταση στη σελίδα", "Καθορισμένο μέγεθος", "Διόρθωση γάμμα", "Τιμή", "Ρύθμιση εκτύπωσης",
    "Αριστερό περιθώριο", "Πάνω περιθώριο", "Δεξί περιθώριο", "Κάτω περιθώριο", "Θέση/μέγεθος",
    // 110
    "Πάνω αριστερά", "Πάνω κέντρο", "Πάνω δεξιά", "Κέντρο αριστερά", "Κέντρο", "Κέντρο δεξιά", "Κάτω αριστερά",
    "Κάτω κέντρο", "Κάτω δεξιά", "Κλείσιμο",
    // 120
    "Apply", "Μονάδες μέτρησης", "Μονάδες", "Ρυθμός", "Όλα τα γραφικά", "Βίντεο για Windows", "Αρχείο", "Μνήμη",
    "Ενημερώνει αυτόματα την προεπισκόπηση με τις αλλαγές που επιλέξατε", "Εκτύπωση όλων",
    // 130
    "Εκτύπωση επιλεγμένων"};

const char* const kRussian[] = {
    "Просмотр", "Оригинал", "Результат", "OK", "Отмена", "Закрепить просмотр", "Копировать результат в оригинал",
    "Контраст", "Яркость", "Оттенок",
    // 10
    "Насыщенность", "Значение", "Основной цвет", "Новый цвет", "Светимость", "Красный", "Зелёный", "Синий",
    "Значения фильтра", "Наборы",
    // 20
    "Делитель", "Загрузить", "Сохранить", "Выравнивание", "Порог", "Выровнять", "Гистограмма", "Серый", "Свет",
    "Слева",
    // 30
    "Сверху", "Ширина", "Высота", "Цвет", "Доля исходного изображения", "Линза", "Преломление",
    "Просмотр параметров", "Качество", "Метод DCT",
    // 40
    "Коэффициент сглаживания", "Оттенки серого", "Оптимальный Хаффман", "Исходный размер", "Сжатый размер",
    "Дополнительно", "Прогрессивный", "Сжатие", "Номер изображения", "Фотометрия",
    // 50
    "Сведения о сканированном документе", "Имя", "Описание", "Имя страницы", "Номер страницы", "из",
    "Гориз. позиция (дюймы)", "Верт. позиция (дюймы)", "Цвета", "Прозрачный",
    // 60
    "Прозрачный цвет", "Чересстрочный", "Фон", "Гориз. позиция", "Верт. позиция", "Задержка", "Фильтр", "Волна",
    "Амплитуда", "Длина волны",
    // 70
    "Фаза", "Отражение", "Фильтр пользователя", "Морфологические фильтры", "Размер окна", "Максимум", "Минимум",
    "Размыкание", "Замыкание", "Повернуть",
    // 80
    "Отразить", "По горизонтали", "По вертикали", "Изображение в частотной области",
    "Выберите область для очистки", "Очистить", "Сбросить", "Анимация", "Загрузить фильтр", "Сохранить фильтр",
    // 90
    "Карта рельефа", "Печать", "Поля", "дюймы", "Справа", "Снизу", "Положение", "Размер", "Обычный",
    "Fit to page",
    // 100
    "Растянуть на страницу", "Заданный размер", "Гамма-коррекция", "Значение", "Настройка печати", "Левое поле",
    "Верхнее поле", "Правое поле", "Нижнее поле", "Положение/размер",
    // 110
    "Вверху слева", "Вверху по центру", "Вверху справа", "По центру слева", "По центру", "По центру справа",
    "Внизу слева", "Внизу по центру", "Внизу справа", "Закрыть",
    // 120
    "Применить", "Единицы измерения", "Единицы", "Частота", "Все изображения", "Видео для Windows", "Файл",
    "Память", "Автоматически обновляет просмотр с выбранными изменениями", "Печатать все",
    // 130
    "Печатать выбранные"};

const char* const kDutch[] = {
    "Voorbeeld", "Origineel", "Resultaat", "OK", "Annuleren", "Voorbeeld vergrendelen",
    "Resultaat naar origineel kopiëren", "Contrast", "Helderheid", "Tint",
    // 10
    "Verzadiging", "Waarde", "Basiskleur", "Nieuwe kleur", "Lichtsterkte", "Rood", "Groen", "Blauw",
    "Filterwaarden", "Voorinstellingen",
    // 20
    "Deler", "Laden", "Opslaan", "Egalisatie", "Drempel", "Egaliseren", "Histogram", "Grijs", "Licht", "Links",
    // 30
    "Boven", "Breedte", "Hoogte", "Kleur", "Aandeel originele afbeelding", "Lens", "Breking",
    "Parametervoorbeeld", "Kwaliteit", "DCT-methode",
    // 40
    "Afvlakkingsfactor", "Grijswaarden", "Optimale Huffman", "Oorspronkelijke grootte", "Gecomprimeerde grootte",
    "Geavanceerd", "Progressief", "Compressie", "Afbeeldingsindex", "Fotometrisch",
    // 50
    "Info gescand document", "Naam", "Beschrijving", "Paginanaam", "Paginanummer", "van",
    "Horiz. positie (inch)", "Vert. positie (inch)", "Kleuren", "Transparant",
    // 60
    "Transparante kleur", "Interlaced", "Achtergrond", "Horiz. positie", "Vert. positie", "Vertraging", "Filter",
    "Golf", "Amplitude", "Golflengte",
    // 70
    "Fase", "Spiegelend", "Gebruikersfilter", "Morfologische filters", "Venstergrootte", "Maximum", "Minimum",
    "Opening", "Sluiting", "Draaien",
    // 80
    "Spiegelen", "Horizontaal", "Verticaal", "Afbeelding in frequentiedomein", "Selecteer het te reinigen gebied",
    "Wissen", "Herstellen", "Animeren", "Filter laden", "Filter opslaan",
    // 90
    "Reliëfkaart", "Afdrukken", "Marges", "inch", "Rechts", "Onder", "Positie", "Grootte", "Normaal",
    "Passend in pagina",
    // 100
    "Uitrekken tot pagina", "Opgegeven grootte", "Gammacorrectie", "Waarde", "Afdrukinstellingen",
    "Linkermarge", "Bovenmarge", "Rechtermarge", "Ondermarge", "Plaats/grootte",
    // 110
    "Linksboven", "Midden boven", "Rechtsboven", "Midden links", "Midden", "Midden rechts", "Linksonder",
    "Midden onder", "Rechtsonder", "Sluiten",
    // 120
    "Toepassen", "Maateenheden", "Eenheden", "Rate", "Alle afbeeldingen", "Video voor Windows", "Bestand", "Geh.",
    "Werkt het voorbeeld automatisch bij met de gekozen wijzigingen", "Alles afdrukken",
    // 130
    "Selectie afdrukken"};

const char* const kSwedish[] = {
    "Granska", "Original", "Resultat", "OK", "Avbryt", "Lås förhandsvisning", "Kopiera resultat till original",
    "Kontrast", "Ljusstyrka", "Nyans",
    // 10
    "Mättnad", "Värde", "Grundfärg", "Ny färg", "Luminans", "Röd", "Grön", "Blå", "Filtervärden",
    "Förinställningar",
    // 20
    "Divisor", "Öppna", "Spara", "Utjämning", "Tröskel", "Utjämna", "Histogram", "Grå", "Ljus", "Vänster",
    // 30
    "Överkant", "Bredd", "Höjd", "Färg", "Andel av originalbild", "Lins", "Brytning", "Parametergranskning",
    "Kvalitet", "DCT-metod",
    // 40
    "Utjämningsfaktor", "Gråskala", "Optimal Huffman", "Originalstorlek", "Komprimerad storlek", "Avancerat",
    "Progressiv", "Komprimering", "Bildindex", "Fotometrisk",
    // 50
    "Info om skannat dokument", "Namn", "Beskrivning", "Sidnamn", "Sidnummer", "av", "Vågr. position (tum)",
    "Lodr. position (tum)", "Färger", "Genomskinlig",
    // 60
    "Genomskinlig färg", "Sammanflätad", "Bakgrund", "Vågr. position", "Lodr. position", "Fördröjning", "Filter",
    "Våg", "Amplitud", "Våglängd",
    // 70
    "Fas", "Reflekterande", "Användarfilter", "Morfologiska filter", "Fönsterstorlek", "Maximum", "Minimum",
    "Öppning", "Stängning", "Rotera",
    // 80
    "Vänd", "Vågrätt", "Lodrätt", "Bild i frekvensdomänen", "Markera området som ska rensas", "Rensa",
    "Återställ", "Animera", "Öppna filter", "Spara filter",
    // 90
    "Reliefkarta", "Skriv ut", "Marginaler", "tum", "Höger", "Nederkant", "Position", "Storlek", "Normal",
    "Exakt",
    // 100
    "Sträck ut till sidan", "Angiven storlek", "Gammakorrigering", "Värde", "Utskriftsformat",
    "Vänstermarginal", "Övre marginal", "Högermarginal", "Nedre marginal", "Placering/storlek",
    // 110
    "Överst till vänster", "Överst i mitten", "Överst till höger", "Mitten till vänster", "Mitten",
    "Mitten till höger", "Nederst till vänster", "Nederst i mitten", "Nederst till höger", "Stäng",
    // 120
    "Applicera", "Måttenheter", "Enheter", "Proportion", "All grafik", "Video för Windows", "Fil", "Minne",
    "Uppdaterar förhandsvisningen automatiskt med de ändringar du valt", "Skriv ut alla",
    // 130
    "Skriv ut markerade"};

const char* const kPolish[] = {
    "Podgląd", "Oryginał", "Wynik", "OK", "Anuluj", "Zablokuj podgląd", "Kopiuj wynik do oryginału", "Kontrast",
    "Jasność", "Odcień",
    // 10
    "Nasycenie", "Wartość", "Kolor bazowy", "Nowy kolor", "Luminancja", "Czerwony", "Zielony", "Niebieski",
    "Wartości filtra", "Ustawienia",
    // 20
    "Dzielnik", "Wczytaj", "Zapisz", "Wyrównanie", "Próg", "Wyrównaj", "Histogram", "Szary", "Światło", "Lewo",
    // 30
    "Góra", "Szerokość", "Wysokość", "Kolor", "Udział oryginalnego obrazu", "Soczewka", "Załamanie",
    "Podgląd parametrów", "Jakość", "Metoda DCT",
    // 40
    "Współczynnik wygładzania", "Skala szarości", "Optymalny Huffman", "Rozmiar oryginalny",
    "Rozmiar po kompresji", "Zaawansowane", "Progresywny", "Kompresja", "Indeks obrazu", "Fotometria",
    // 50
    "Informacje o zeskanowanym dokumencie", "Nazwa", "Opis", "Nazwa strony", "Numer strony", "z",
    "Poz. pozioma (cale)", "Poz. pionowa (cale)", "Kolory", "Przezroczysty",
    // 60
    "Kolor przezroczysty", "Z przeplotem", "Tło", "Poz. pozioma", "Poz. pionowa", "Opóźnienie", "Filtr", "Fala",
    "Amplituda", "Długość fali",
    // 70
    "Faza", "Odbicie", "Filtr użytkownika", "Filtry morfologiczne", "Rozmiar okna", "Maksimum", "Minimum",
    "Otwarcie", "Zamknięcie", "Obróć",
    // 80
    "Odwróć", "Poziomo", "Pionowo", "Obraz w dziedzinie częstotliwości", "Zaznacz obszar do oczyszczenia",
    "Wyczyść", "Resetuj", "Animuj", "Wczytaj filtr", "Zapisz filtr",
    // 90
    "Mapa wypukłości", "Drukuj", "Marginesy", "cale", "Prawo", "Dół", "Położenie", "Rozmiar", "Normalny",
    "Dopasuj do strony",
    // 100
    "Rozciągnij na stronę", "Określony rozmiar", "Korekcja gamma", "Wartość", "Ustawienia wydruku",
    "Lewy margines", "Górny margines", "Prawy margines", "Dolny margines", "Położenie/rozmiar",
    // 110
    "Lewy górny", "Środkowy górny", "Prawy górny", "Lewy środkowy", "Środek", "Prawy środkowy", "Lewy dolny",
    "Środkowy dolny", "Prawy dolny", "Zamknij",
    // 120
    "Zastosuj", "Jednostki miary", "Jednostki", "", "Wszystkie grafiki", "Wideo dla Windows", "Plik", "Pam.",
    "Automatycznie aktualizuje podgląd o wybrane zmiany", "Drukuj wszystko",
    // 130
    "Drukuj zaznaczone"};
// clang-format on

static_assert(std::size(kEnglish) == kWordCount);
static_assert(std::size(kItalian) == kWordCount);
static_assert(std::size(kGerman) == kWordCount);
static_assert(std::size(kSpanish) == kWordCount);
static_assert(std::size(kFrench) == kWordCount);
static_assert(std::size(kPortuguese) == kWordCount);
static_assert(std::size(kGreek) == kWordCount);
static_assert(std::size(kRussian) == kWordCount);
static_assert(std::size(kDutch) == kWordCount);
static_assert(std::size(kSwedish) == kWordCount);
static_assert(std::size(kPolish) == kWordCount);

using TWordTable = std::array<std::array<std::string, kWordCount>, kWordLanguages>;

// Filled on its first use, whoever comes first: a lookup before any dialog
// exists finds the texts, and what an application stores is never written
// over afterwards.
TWordTable& Table() {
  static TWordTable table = [] {
    TWordTable t;
    const struct {
      TMsgLanguage lang;
      const char* const* row;
    } kRows[] = {
        {msEnglish, kEnglish}, {msItalian, kItalian},       {msGerman, kGerman}, {msSpanish, kSpanish},
        {msFrench, kFrench},   {msPortuguese, kPortuguese}, {msGreek, kGreek},   {msRussian, kRussian},
        {msDutch, kDutch},     {msSwedish, kSwedish},       {msPolish, kPolish},
    };
    for (const auto& r : kRows)
      for (int w = 0; w < kWordCount; ++w) t[r.lang][static_cast<size_t>(w)] = r.row[w];
    return t;
  }();
  return table;
}

}  // namespace

void SetWordText(uint8_t language, uint8_t word, const std::string& text) {
  if (language >= kWordLanguages || word >= kWordCount) return;
  Table()[language][word] = text;
}

TMsgLanguage LanguageOfLocaleCode(const std::string& code) {
  static const struct {
    const char* code;
    TMsgLanguage lang;
  } kMap[] = {
      {"de", msGerman}, {"el", msGreek},  {"es", msSpanish},    {"fr", msFrench},  {"it", msItalian},
      {"nl", msDutch},  {"pl", msPolish}, {"pt", msPortuguese}, {"ru", msRussian}, {"sv", msSwedish},
  };
  for (const auto& m : kMap)
    if (code == m.code) return m.lang;
  return msEnglish;
}

TMsgLanguage SystemMsgLanguage() {
  static const TMsgLanguage lang = LanguageOfLocaleCode(SystemLanguageCode());
  return lang;
}

std::string GetWordText(uint8_t word, TMsgLanguage language) {
  if (word >= kWordCount || language >= kWordLanguages) return {};
  const auto& t = Table();
  if (language == msSystem) return t[SystemMsgLanguage()][word];
  const std::string& s = t[language][word];
  return s.empty() ? t[msEnglish][word] : s;
}

}  // namespace pixoran
