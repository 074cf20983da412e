<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>ASyncFunc</name>
    <message>
        <source>Unexpected error: %1</source>
        <translation>Unerwarteter Fehler: %1</translation>
    </message>
    <message>
        <source>Unexpected error</source>
        <translation>Unerwarteter Fehler</translation>
    </message>
</context>
<context>
    <name>CheckSigFunc</name>
    <message>
        <source>Could not open file %1 for reading</source>
        <translation>Die Datei %1 kann nicht zum Lesen geöffnet werden</translation>
    </message>
    <message>
        <source>could not read file %1 correctly</source>
        <translation>Die Datei %1 konnte nicht richtig gelesen werden</translation>
    </message>
</context>
<context>
    <name>CheckSignatureTaskSpecification</name>
    <message>
        <source>Signature check failed for %1</source>
        <translation>Signaturprüfung für %1 fehlgeschlagen</translation>
    </message>
</context>
<context>
    <name>Configuration</name>
    <message>
        <source>Invalid version nr (%1)</source>
        <translation>Ungültige Versionsnummer (%1)</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
    <message>
        <source>Failed to query latest client
version from update server.</source>
        <translation>Die neueste Client-Version konnte
nicht vom Update-Server abgefragt werden.</translation>
    </message>
    <message>
        <source>Update server returned no version</source>
        <translation>Der Update-Server hat keine Version geliefert</translation>
    </message>
    <message>
        <source>Update server returned invalid version nr (%1)</source>
        <translation>Der Update-Server hat eine ungültige Versionsnummer geliefert (%1)</translation>
    </message>
</context>
<context>
    <name>DirCreateTaskSpecification</name>
    <message>
        <source>Could not create dir &apos;%1&apos; because it already exists and is not a dir</source>
        <translation>Das Verzeichnis &apos;%1&apos; konnte nicht angelegt werden, da es bereits existiert und kein Verzeichnis ist</translation>
    </message>
    <message>
        <source>Could not create dir %1</source>
        <translation>Das Verzeichnis %1 konnte nicht angelegt werden</translation>
    </message>
    <message>
        <source>unable to create dir %1</source>
        <translation>Das Verzeichnis %1 kann nicht angelegt werden</translation>
    </message>
</context>
<context>
    <name>DownloadFileListTaskSpecification</name>
    <message>
        <source>No downloads needed</source>
        <translation>Keine Downloads nötig</translation>
    </message>
    <message>
        <source>Downloading files</source>
        <translation>Dateien werden heruntergeladen</translation>
    </message>
    <message>
        <source>Could not create dir %1</source>
        <translation>Das Verzeichnis %1 kann nicht angelegt werden</translation>
    </message>
</context>
<context>
    <name>DownloadTaskSpecification</name>
    <message>
        <source>Downloading %1</source>
        <translation>Lade %1 herunter</translation>
    </message>
    <message>
        <source>Unable to create file %1 for saving</source>
        <translation>Die Datei %1 kann nicht zum Speichern angelegt werden</translation>
    </message>
    <message>
        <source>Download failed to initialize</source>
        <translation>Der Download konnte nicht vorbereitet werden</translation>
    </message>
    <message>
        <source>%1 returned %2</source>
        <translation>%1 lieferte %2</translation>
    </message>
    <message>
        <source>Error writing to file %1. Should write %2 bytes but wrote %3 bytes</source>
        <translation>Fehler beim Schreiben der Datei %1. Statt %2 Bytes wurden %3 Bytes geschrieben</translation>
    </message>
    <message>
        <source>Signature check failed for %1</source>
        <translation>Signaturprüfung für %1 fehlgeschlagen</translation>
    </message>
    <message>
        <source>Unable to rename %1 to %2</source>
        <translation>%1 kann nicht in %2 umbenannt werden</translation>
    </message>
    <message>
        <source>Downloading %1 finished</source>
        <translation>Download von %1 abgeschlossen</translation>
    </message>
    <message>
        <source>Unable to download %1</source>
        <translation>%1 kann nicht heruntergeladen werden</translation>
    </message>
    <message>
        <source>file %1 timed out</source>
        <translation>Zeitüberschreitung bei Datei %1</translation>
    </message>
    <message>
        <source>Abort downloading %1</source>
        <translation>Download von %1 abgebrochen</translation>
    </message>
</context>
<context>
    <name>FileCopyTaskSpecification</name>
    <message>
        <source>Could not copy &apos;%1&apos; to &apos;%2&apos;</source>
        <translation>&apos;%1&apos; konnte nicht nach &apos;%2&apos; kopiert werden</translation>
    </message>
</context>
<context>
    <name>FileDeleteListEntryTaskSpecification</name>
    <message>
        <source>Could not delete &apos;%1&apos;</source>
        <translation>&apos;%1&apos; konnte nicht gelöscht werden</translation>
    </message>
</context>
<context>
    <name>FileDeleteListTaskSpecification</name>
    <message>
        <source>Starting deleting files</source>
        <translation>Dateien werden gelöscht</translation>
    </message>
    <message>
        <source>Could not commit the file updates</source>
        <translation>Die Dateiaktualisierungen konnten nicht abgeschlossen werden</translation>
    </message>
</context>
<context>
    <name>FileDeleteTaskSpecification</name>
    <message>
        <source>Recursively deleted directory &apos;%1&apos;</source>
        <translation>Verzeichnis &apos;%1&apos; samt Inhalt gelöscht</translation>
    </message>
    <message>
        <source>Deleted directory &apos;%1&apos;</source>
        <translation>Verzeichnis &apos;%1&apos; gelöscht</translation>
    </message>
    <message>
        <source>Deleted file &apos;%1&apos;</source>
        <translation>Datei &apos;%1&apos; gelöscht</translation>
    </message>
    <message>
        <source>Could not delete &apos;%1&apos;</source>
        <translation>&apos;%1&apos; konnte nicht gelöscht werden</translation>
    </message>
</context>
<context>
    <name>FileRenameTaskSpecification</name>
    <message>
        <source>Could not rename &apos;%1&apos; to &apos;%2&apos;</source>
        <translation>&apos;%1&apos; konnte nicht in &apos;%2&apos; umbenannt werden</translation>
    </message>
</context>
<context>
    <name>FileReplaceListTaskSpecification</name>
    <message>
        <source>Starting file updates</source>
        <translation>Dateien werden aktualisiert</translation>
    </message>
    <message>
        <source>Could not commit the file updates</source>
        <translation>Die Dateiaktualisierungen konnten nicht abgeschlossen werden</translation>
    </message>
    <message>
        <source>rolling back file updates</source>
        <translation>Dateiaktualisierungen werden rückgängig gemacht</translation>
    </message>
</context>
<context>
    <name>FileReplaceTaskSpecification</name>
    <message>
        <source>add/replace %1</source>
        <translation>%1 hinzufügen/ersetzen</translation>
    </message>
    <message>
        <source>Could not patch &apos;%1&apos; to &apos;%2&apos;</source>
        <translation>&apos;%1&apos; konnte nicht zu &apos;%2&apos; gepatcht werden</translation>
    </message>
    <message>
        <source>Patching %1</source>
        <translation>%1 wird gepatcht</translation>
    </message>
</context>
<context>
    <name>FileUnpackTaskSpecification_lzma2</name>
    <message>
        <source>Could not unpack &apos;%1&apos; to &apos;%2&apos;</source>
        <translation>&apos;%1&apos; konnte nicht nach &apos;%2&apos; entpackt werden</translation>
    </message>
</context>
<context>
    <name>FileUnpackTaskSpecification_zip</name>
    <message>
        <source>Could not unzip &apos;%1&apos; to &apos;%2&apos;</source>
        <translation>&apos;%1&apos; konnte nicht nach &apos;%2&apos; entpackt werden</translation>
    </message>
</context>
<context>
    <name>IniDownloadTaskSpecification</name>
    <message>
        <source>Download / check product ini</source>
        <translation>Produkt-INI herunterladen / prüfen</translation>
    </message>
    <message>
        <source>Could not verify the product ini file. Aborting</source>
        <translation>Die Produkt-INI-Datei konnte nicht geprüft werden. Abbruch</translation>
    </message>
</context>
<context>
    <name>MainTaskSpecification</name>
    <message>
        <source>Starting update process for updater</source>
        <translation>Aktualisierung des Updaters wird gestartet</translation>
    </message>
    <message>
        <source>Starting update process for client</source>
        <translation>Aktualisierung des Clients wird gestartet</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>Corvalink 3 Client Update</source>
        <translation>Corvalink 3 Client-Update</translation>
    </message>
    <message>
        <source>Details</source>
        <translation>Details</translation>
    </message>
    <message>
        <source>Update to Corvalink %1</source>
        <translation>Update auf Corvalink %1</translation>
    </message>
    <message>
        <source>Stable</source>
        <translation>Stable</translation>
    </message>
    <message>
        <source>Beta</source>
        <translation>Beta</translation>
    </message>
    <message>
        <source>Alpha</source>
        <translation>Alpha</translation>
    </message>
    <message>
        <source>You are currently on &lt;strong&gt;%1 channel&lt;/strong&gt;.</source>
        <translation>Sie sind derzeit im &lt;strong&gt;Kanal %1&lt;/strong&gt;.</translation>
    </message>
    <message>
        <source>Step two: Updating Corvalink client</source>
        <translation>Schritt zwei: Corvalink-Client wird aktualisiert</translation>
    </message>
    <message>
        <source>Step one: Updating updater</source>
        <translation>Schritt eins: Updater wird aktualisiert</translation>
    </message>
    <message>
        <source>Update cancelled</source>
        <translation>Update abgebrochen</translation>
    </message>
    <message>
        <source>Update</source>
        <translation>Update</translation>
    </message>
    <message>
        <source>Update cancelled. Push &quot;Details&quot; to check reasons.</source>
        <translation>Update abgebrochen. Klicken Sie auf &quot;Details&quot;, um die Gründe zu sehen.</translation>
    </message>
    <message>
        <source>Question</source>
        <translation>Frage</translation>
    </message>
    <message>
        <source>&lt;p&gt;Update in progress.&lt;/p&gt;&lt;p&gt;Are you sure you want to abort?&lt;/p&gt;</source>
        <translation>&lt;p&gt;Das Update läuft.&lt;/p&gt;&lt;p&gt;Wollen Sie es wirklich abbrechen?&lt;/p&gt;</translation>
    </message>
    <message>
        <source>Confirm reboot</source>
        <translation>Neustart bestätigen</translation>
    </message>
    <message>
        <source>&lt;p&gt;A computer restart is required to proceed with the client update. If you do not reboot now, the Corvalink update will be cancelled.&lt;/p&gt;&lt;p&gt;Do you want to reboot now?&lt;/p&gt;</source>
        <translation>&lt;p&gt;Um das Client-Update fortzusetzen, muss der Computer neu gestartet werden. Wenn Sie jetzt nicht neu starten, wird das Corvalink-Update abgebrochen.&lt;/p&gt;&lt;p&gt;Wollen Sie jetzt neu starten?&lt;/p&gt;</translation>
    </message>
</context>
<context>
    <name>MakeDownloadReplaceListFunc</name>
    <message>
        <source>Compiling download and replace list for updater</source>
        <translation>Download- und Ersetzungsliste für den Updater wird erstellt</translation>
    </message>
    <message>
        <source>Compiling download and replace list for client</source>
        <translation>Download- und Ersetzungsliste für den Client wird erstellt</translation>
    </message>
    <message>
        <source>No files in product ini</source>
        <translation>Keine Dateien in der Produkt-INI</translation>
    </message>
</context>
<context>
    <name>MakeDownloadReplaceListTaskSpecification</name>
    <message>
        <source>Warning: product ini contains invalid line in section %1</source>
        <translation>Warnung: Die Produkt-INI enthält eine ungültige Zeile im Abschnitt %1</translation>
    </message>
</context>
<context>
    <name>PrePostInstallFunc</name>
    <message>
        <source>Starting %1</source>
        <translation>Starte %1</translation>
    </message>
    <message>
        <source>Failed to start %1: %2</source>
        <translation>%1 konnte nicht gestartet werden: %2</translation>
    </message>
    <message>
        <source>Failed to run %1: %2</source>
        <translation>%1 konnte nicht ausgeführt werden: %2</translation>
    </message>
    <message>
        <source>%1 completed sucessfully, reboot required</source>
        <translation>%1 erfolgreich abgeschlossen, Neustart erforderlich</translation>
    </message>
    <message>
        <source>%1 completed sucessfully</source>
        <translation>%1 erfolgreich abgeschlossen</translation>
    </message>
    <message>
        <source>Failed to complete %1, exit code: %2</source>
        <translation>%1 konnte nicht abgeschlossen werden, Exit-Code: %2</translation>
    </message>
</context>
<context>
    <name>PrePostInstallListTaskSpecification</name>
    <message>
        <source>Starting install condition</source>
        <translation>Starte Installationsbedingung</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Error</source>
        <translation>Fehler</translation>
    </message>
</context>
<context>
    <name>RollbackData</name>
    <message>
        <source>warning: rollback rename %1 to %2 failed</source>
        <translation>Warnung: Zurückbenennen von %1 in %2 fehlgeschlagen</translation>
    </message>
    <message>
        <source>warning: rollback create file %1 failed</source>
        <translation>Warnung: Entfernen der angelegten Datei %1 fehlgeschlagen</translation>
    </message>
    <message>
        <source>warning: rollback create dir %1 failed</source>
        <translation>Warnung: Entfernen des angelegten Verzeichnisses %1 fehlgeschlagen</translation>
    </message>
</context>
<context>
    <name>UpdateEngine</name>
    <message>
        <source>&apos;%1&apos; is an invalid proxy specification</source>
        <translation>&apos;%1&apos; ist keine gültige Proxy-Angabe</translation>
    </message>
    <message>
        <source>Another update of this installation is running.</source>
        <translation>Ein anderes Update dieser Installation läuft gerade.</translation>
    </message>
    <message>
        <source>Previous update session for v. %1 found</source>
        <translation>Frühere Update-Sitzung für V. %1 gefunden</translation>
    </message>
    <message>
        <source>Cleanup previous session (v. %1, %2) files...</source>
        <translation>Dateien der früheren Sitzung (V. %1, %2) werden entfernt...</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>Ok</translation>
    </message>
    <message>
        <source>Failed to remove directory</source>
        <translation>Das Verzeichnis konnte nicht entfernt werden</translation>
    </message>
    <message>
        <source>Failed to write update.ini. The updater does not seem to have the required write permissions.</source>
        <translation>update.ini konnte nicht geschrieben werden. Dem Updater fehlen anscheinend die nötigen Schreibrechte.</translation>
    </message>
    <message>
        <source>Update successfully finished</source>
        <translation>Update erfolgreich abgeschlossen</translation>
    </message>
    <message>
        <source>User aborted update</source>
        <translation>Update vom Benutzer abgebrochen</translation>
    </message>
    <message>
        <source>Removed temporary update.ini</source>
        <translation>Temporäre update.ini entfernt</translation>
    </message>
    <message>
        <source>Remove temporary files...</source>
        <translation>Temporäre Dateien werden entfernt...</translation>
    </message>
    <message>
        <source>Temporary files removed.</source>
        <translation>Temporäre Dateien entfernt.</translation>
    </message>
</context>
</TS>
