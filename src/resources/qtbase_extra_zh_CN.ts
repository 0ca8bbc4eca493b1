<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<!-- Framework texts that Qt's own dialogs show but Debian's qtbase_zh_CN.qm leaves in English
     (the file dialog's kind column). Compiled with lrelease at build time and loaded after
     qtbase_zh_CN.qm. -->
<TS version="2.1" language="zh_CN">
<context>
    <name>QAbstractFileIconProvider</name>
    <message>
        <source>Drive</source>
        <translation>驱动器</translation>
    </message>
    <message>
        <source>Folder</source>
        <translation>文件夹</translation>
    </message>
    <message>
        <source>File Folder</source>
        <translation>文件夹</translation>
    </message>
    <message>
        <source>Alias</source>
        <translation>别名</translation>
    </message>
    <message>
        <source>Shortcut</source>
        <translation>快捷方式</translation>
    </message>
</context>
</TS>
