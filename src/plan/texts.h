#pragma once

// The texts of the plan check, the transfer's safeguards (backups, change logs, the check
// after the write), its ending and the restore, in one place: UTF-8 here, ANSI through
// plan::ansi in the tables' layers, QString through app::qs in the window.

namespace plan::text {

// A plan import's lines that are not rows.
inline constexpr const char* kCsvHeader = "первая строка должна быть ";
inline constexpr const char* kCsvCharacters = "символы вне кодовой страницы Windows-1251";
inline constexpr const char* kCsvValues = "нужно 4 значения через ';', а их ";
inline constexpr const char* kCsvEmpty = "файл пуст";

// Rows refused by a plan import or a row added by hand.
inline constexpr const char* kRowEmptyValue = "пустое значение";
inline constexpr const char* kRowGroupTooWide = "группа длиннее 5 символов";
inline constexpr const char* kRowNumberTooWide = "номенклатурный номер длиннее 13 символов";
inline constexpr const char* kRowNoMaterial = "нет материала с такой группой и номером";
inline constexpr const char* kRowPlanned = "материал уже есть в плане";
inline constexpr const char* kRowPairTaken =
    "новая группа и номер уже заняты в материалах или в плане";

// The plan check's report.
inline constexpr const char* kCheckTitle = "Проверка плана: позиций ";
inline constexpr const char* kCheckTables = ", таблиц ";
inline constexpr const char* kCheckEmptyList = "Список таблиц пуст: перенос ничего не изменит";
inline constexpr const char* kCheckUnread = ": не прочитана: ";
inline constexpr const char* kCheckWillChange = ": будет изменено записей: ";
inline constexpr const char* kCheckNoChange = "Ничего не изменит ";
inline constexpr const char* kCheckNoSuchPair = ": такой пары нет в таблицах";
inline constexpr const char* kCheckSamePair = ": новая пара совпадает со старой";
inline constexpr const char* kCheckRow = "строка ";
inline constexpr const char* kCheckBlank = "Пустая новая группа или номер: ";
inline constexpr const char* kCheckMerge = "Слияние: пару ";
inline constexpr const char* kCheckMergeTake = " получат ";
inline constexpr const char* kCheckMergeMaterials = " материала";
inline constexpr const char* kCheckMergeUnmoved = ", один из них не переносится";
inline constexpr const char* kCheckUnlisted = "Не в списке таблиц (останется со старыми парами): ";
inline constexpr const char* kCheckClean = "Замечаний нет";
inline constexpr const char* kCheckNoPairFields = "нет символьных полей GRUP и NNUM";
inline constexpr const char* kCheckFoundErrors = "Проверка плана нашла ошибки:\n";
inline constexpr const char* kCheckGoOn = "Продолжить перенос?";
inline constexpr const char* kCheckAddTables = "Добавить в список таблиц";

// Room for the backup.
inline constexpr const char* kNoRoom = "Недостаточно места на диске для переноса: нужно ";
inline constexpr const char* kNoRoomFree = " МБ, свободно ";
inline constexpr const char* kMegabytes = " МБ";
inline constexpr const char* kNothingChanged = "Ничего не изменено.";
inline constexpr const char* kRemoveOldBackups = "Удалить старые копии таблиц (";
inline constexpr const char* kOldBackupRemoved = ":Удалена копия таблиц ";
inline constexpr const char* kOldBackupRemovedWhy = ": не хватало места на диске";

// The check after the write (journal lines; an error line starts with kIndexes alone).
inline constexpr const char* kIndexesChecked = ":Индексы проверены ";
inline constexpr const char* kIndexes = ":Индексы ";

// The ending of a run with errors.
inline constexpr const char* kEndedWithErrors = "Перенос завершён с ошибками: ";
inline constexpr const char* kFailedRowsKept =
    "Строки плана, которые не удалось перенести, оставлены в плане;";
inline constexpr const char* kSeeJournal = "подробности в журнале.";
// After a failure beyond a single row (a table, the list of tables): the run cannot tell which
// rows the tables took.
inline constexpr const char* kWholePlanKept =
    "Не все таблицы обработаны до конца: план оставлен целиком;";
inline constexpr const char* kBackupWhere = "Журнал, план и копии таблиц: ";
inline constexpr const char* kFailedRowsBack =
    "Их можно вернуть в план: «Файл», «Восстановить таблицы...»";
inline constexpr const char* kFailedRowsBackCommand =
    "Их можно вернуть в план: lorf-mgrup-cli restore ";
inline constexpr const char* kFailedRowsBackReplan = " --replan";

// Restore.
inline constexpr const char* kRestoreMenu = "Восстановить таблицы...";
inline constexpr const char* kRestoreTitle = "Восстановление таблиц";
inline constexpr const char* kRestoreList = "Копии таблиц, сделанные при переносах:";
inline constexpr const char* kRestoreColumns[] = {"Перенос", "Таблицы", "Строк плана", "Ошибок",
                                                  "Не перенесено"};
inline constexpr const char* kRestore = "Восстановить";
inline constexpr const char* kReplan = "Вернуть строки в план";
inline constexpr const char* kDeleteBackup = "Удалить копию";
inline constexpr const char* kRestoreAsk = "Восстановить таблицы, какими они были до переноса ";
inline constexpr const char* kRestoreQuiet = "Убедитесь что никто не работает в базе.";
inline constexpr const char* kRestoreChanged = "Таблицы изменены после переноса:\n";
inline constexpr const char* kRestoreForce =
    "Восстановить и их? Изменения, сделанные после переноса, будут потеряны.";
inline constexpr const char* kRestored = ": восстановлена";
inline constexpr const char* kNotRestored = ": не восстановлена: ";
inline constexpr const char* kNotInDatabase = ": нет в базе, не восстановлена";
inline constexpr const char* kChangedSince = ": изменена после переноса, не восстановлена";
inline constexpr const char* kAlreadyRestored = ": уже восстановлена из этой копии";
inline constexpr const char* kRestoreJournal = "Восстановление из копии ";
inline constexpr const char* kReplanAlreadyPlanned = ": уже есть в плане, не возвращена";
inline constexpr const char* kReplanNotTakenBy = ": не перенесена в ";
inline constexpr const char* kReplanned = "Возвращено строк в план: ";
inline constexpr const char* kDeleteBackupAsk = "Удалить копию ";

}  // namespace plan::text
