<?xml version="1.0" encoding="UTF-8"?>
<!-- A list of the printout service as an HTML table: the list's heading
     lines, one row per entry (one cell per column of its first line), then
     the closing lines. -->
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="html" encoding="UTF-8" indent="yes"/>

  <xsl:template match="/PRINTOUT">
    <html>
      <head>
        <title><xsl:value-of select="(HEADER/TEXT | LINE/COL)[1]"/></title>
        <style>
          body { font-family: sans-serif; margin: 2em; }
          table { border-collapse: collapse; }
          td { border-bottom: 1px solid #ccc; padding: 0.2em 0.6em; vertical-align: top; }
        </style>
      </head>
      <body><xsl:apply-templates/></body>
    </html>
  </xsl:template>

  <xsl:template match="HEADER"><h1><xsl:value-of select="TEXT"/></h1></xsl:template>
  <xsl:template match="PRINTOUT/LINE"><p><xsl:value-of select="COL"/></p></xsl:template>
  <xsl:template match="REPLIST"><table><xsl:apply-templates select="ENTRY"/></table></xsl:template>
  <xsl:template match="ENTRY">
    <tr>
      <xsl:for-each select="REPREC/LINE[1]/COL"><td><xsl:value-of select="."/></td></xsl:for-each>
    </tr>
  </xsl:template>
</xsl:stylesheet>
